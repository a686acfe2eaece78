#pragma once
// The debug window: one text box with a line for every message the link sent
// or received. Created hidden; shown from the main window's pop-up menu.

#include <QPlainTextEdit>
#include <QWidget>

namespace zelvo {

class TfrmDebug : public QWidget {
 public:
  explicit TfrmDebug(QWidget* parent = nullptr);

  QPlainTextEdit* Debug;
};

}  // namespace zelvo
