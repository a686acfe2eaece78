#pragma once
// The operator on a terminal: messages are printed, questions asked on the
// terminal (or answered by --yes, or answered No / Cancel when standard input
// is not a terminal), the open-file dialog answered with the firmware file
// named on the command line (once: a second dialog after a rejected file is
// cancelled, so nothing loops).

#include <QString>
#include <QStringList>
#include <cstdio>
#include <functional>

#include "core/Dialogs.h"

namespace zelvo::cli {

class TerminalDialogs final : public DialogsService {
 public:
  enum class Answers { AskOnTerminal, AlwaysYes, AlwaysNo };
  TerminalDialogs(Answers answers, std::FILE* out, std::FILE* in);

  void SetFirmwareFile(const QString& path) { firmware_ = path; }
  // Every text shown, in order (for the final report and the tests).
  const QStringList& Shown() const { return shown_; }
  bool Saw(const QString& text) const { return shown_.contains(text); }

  void ShowMessage(const QString& text) override;
  MsgResult MessageDlg(const QString& text, MsgIcon icon, MsgButtons buttons) override;
  std::optional<QString> OpenFile(const QString& filter) override;
  std::optional<QString> SelectPort(const QStringList& ports) override;

  // Called before anything is printed (the progress bar steps aside).
  std::function<void()> BeforePrint;
  // Called with every message or question text after it was shown.
  std::function<void(const QString&)> OnShown;

 private:
  bool Ask(const QString& prompt);
  void Print(const QString& prefix, const QString& text);

  Answers answers_;
  std::FILE* out_;
  std::FILE* in_;
  QString firmware_;
  bool firmwareOffered_ = false;
  QStringList shown_;
};

}  // namespace zelvo::cli
