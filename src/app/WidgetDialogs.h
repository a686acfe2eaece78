#pragma once
// The operator dialogs service of the window: modal Qt message boxes, the
// open-file dialog and the port selection dialog.

#include <QString>

#include "core/Dialogs.h"

class QWidget;

namespace zelvo {

class WidgetDialogs final : public DialogsService {
 public:
  // A message box takes no key until it has been shown this long: keys typed
  // before it appeared were meant for what was there before it.
  static constexpr int kKeySettleMs = 500;

  explicit WidgetDialogs(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  // Folder the open-file dialog starts in (empty: the dialog's own choice).
  void SetStartFolder(const QString& folder) { startFolder_ = folder; }

  void ShowMessage(const QString& text) override;
  MsgResult MessageDlg(Prompt prompt, const QString& text, MsgIcon icon, MsgButtons buttons) override;
  void ClosableMessage(Prompt prompt, const QString& text, MsgIcon icon, MessageCloser& closer) override;
  std::optional<QString> OpenFile(const QString& filter) override;
  std::optional<QString> SelectPort(const QStringList& ports) override;

  // "Binary File|*.bin" -> "Binary File (*.bin)"
  static QString QtFilter(const QString& filter);

 private:
  QWidget* parent_;
  QString startFolder_;
};

}  // namespace zelvo
