#pragma once
// The debug window: one text box with a line for every message the link sent
// or received. Created hidden; shown from the main window's pop-up menu.
//
// Both boxes are read-only, so what is seen is what "Save Trace..." writes.
// The text box's context menu adds "Show as hex" (the same lines with each
// message as hexadecimal bytes, in a second box shown instead) and
// "Save Trace..." (writes what is shown to a file). The window opens on the
// screen, whatever place it is given.

#include <QAction>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>
#include <QWidget>

namespace zelvo {

// The debug text box. It keeps every line exactly as it was appended: the
// text document itself turns a carriage return inside a message into a line
// break. appendPlainText and clear hide QPlainTextEdit's own, so callers that
// hold a TTraceBox keep the record right.
class TTraceBox : public QPlainTextEdit {
 public:
  using QPlainTextEdit::QPlainTextEdit;
  void appendPlainText(const QString& text);
  void clear();
  // Every line appended since the last clear, as appended.
  const QStringList& Lines() const { return lines_; }
  // How many times the box was cleared: a view that follows Lines() starts
  // again when this changes.
  int Clears() const { return clears_; }

 private:
  QStringList lines_;
  int clears_ = 0;
};

class TfrmDebug : public QWidget {
 public:
  explicit TfrmDebug(QWidget* parent = nullptr);

  TTraceBox* Debug;          // the trace as the link reports it
  QPlainTextEdit* DebugHex;  // the same trace, messages in hexadecimal
  QAction* actShowAsHex;
  QAction* actSaveTrace;

  bool ShowingHex() const { return actShowAsHex->isChecked(); }
  void SetShowAsHex(bool hex) { actShowAsHex->setChecked(hex); }
  // Writes the trace as shown (raw bytes, or the hexadecimal lines) to path,
  // one line per message. False with error set when it cannot be written.
  bool SaveTrace(const QString& path, QString* error) const;

  // Trace lines with each message as hexadecimal bytes, one line each
  // whatever it holds: "SND#E6 45 4E 51 E7#".
  static QStringList HexTrace(const QStringList& lines);

 private:
  void ShowMenu(QPlainTextEdit* box, const QPoint& at);
  void ShowHex(bool hex);
  void RefreshHex();
  void RebuildHex();
  void SaveTraceClicked();
  void showEvent(QShowEvent* event) override;

  QTimer hexRefresh_;  // coalesces the raw box's changes
  // How far the hex box follows the raw one: the lines it shows and the
  // raw box's clear count they belong to. New lines are added, not redone.
  int hexLines_ = 0;
  int hexClears_ = 0;
};

}  // namespace zelvo
