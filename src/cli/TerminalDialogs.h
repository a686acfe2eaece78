#pragma once
// The operator on a terminal: messages are printed, questions asked on the
// terminal, the open-file dialog answered with the firmware file named on the
// command line (once: a second dialog after a rejected file is cancelled, so
// nothing loops).
//
// Two kinds of question:
//   routine  the erase warning, "Upgrade To Version ...": Yes with --yes,
//            else asked when standard input is a terminal, else No;
//   guard    a risk question (the file's type differs from the instrument's,
//            or its version is older): Yes only with --force, else asked when
//            standard input is a terminal, else No (the text also goes to
//            standard error).

#include <QString>
#include <QStringList>
#include <cstdio>
#include <functional>

#include "core/Dialogs.h"

namespace zelvo::cli {

class TerminalDialogs final : public DialogsService {
 public:
  struct Policy {
    bool yes = false;            // --yes
    bool force = false;          // --force
    bool inputTerminal = false;  // standard input is a terminal
  };
  TerminalDialogs(Policy policy, std::FILE* out, std::FILE* err, std::FILE* in);

  void SetFirmwareFile(const QString& path) { firmware_ = path; }
  // Every text shown, in order.
  const QStringList& Shown() const { return shown_; }
  bool Saw(const QString& text) const { return shown_.contains(text); }
  // The last guard question answered No (empty when none was).
  const QString& DeclinedGuard() const { return declinedGuard_; }
  // The last routine question answered No or Cancel (empty when none was).
  const QString& DeclinedRoutine() const { return declinedRoutine_; }

  void ShowMessage(const QString& text) override;
  MsgResult MessageDlg(Prompt prompt, const QString& text, MsgIcon icon, MsgButtons buttons) override;
  std::optional<QString> OpenFile(const QString& filter) override;
  std::optional<QString> SelectPort(const QStringList& ports) override;

  // Called before anything is printed (the progress bar steps aside).
  std::function<void()> BeforePrint;
  // Where whole lines go instead of the two streams, when set (error: a line
  // for standard error).
  std::function<void(bool error, const QString& line)> PrintLine;

 private:
  MsgResult Question(const QString& text, MsgIcon icon, MsgButtons buttons, bool guard);
  bool Ask(const QString& text, const QString& prompt, bool guard);
  bool AskTerminal(const QString& prompt);
  void Print(const QString& prefix, const QString& text);
  void Line(bool error, const QString& text);

  Policy policy_;
  std::FILE* out_;
  std::FILE* err_;
  std::FILE* in_;
  QString firmware_;
  bool firmwareOffered_ = false;
  QStringList shown_;
  QString declinedGuard_;
  QString declinedRoutine_;
};

}  // namespace zelvo::cli
