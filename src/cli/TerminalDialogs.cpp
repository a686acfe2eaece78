#include "cli/TerminalDialogs.h"

#include "cli/Report.h"

namespace zelvo::cli {

TerminalDialogs::TerminalDialogs(Policy policy, std::FILE* out, std::FILE* err, std::FILE* in)
    : policy_(policy), out_(out), err_(err), in_(in) {}

void TerminalDialogs::Line(bool error, const QString& text) {
  if (PrintLine) return PrintLine(error, text);
  std::FILE* to = error ? err_ : out_;
  std::fprintf(to, "%s\n", TerminalText(text).toLocal8Bit().constData());
  std::fflush(to);
}

void TerminalDialogs::Print(const QString& prefix, const QString& text) {
  if (BeforePrint) BeforePrint();
  QString shown = text;
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  Line(false, prefix + shown);
}

void TerminalDialogs::ShowMessage(const QString& text) {
  shown_ << text;
  Print(QString(), text);
}

bool TerminalDialogs::AskTerminal(const QString& prompt) {
  for (;;) {
    std::fprintf(out_, "%s ", qPrintable(TerminalText(prompt)));
    std::fflush(out_);
    char line[64];
    if (!std::fgets(line, sizeof line, in_)) {
      std::fputc('\n', out_);
      return false;  // end of input, or interrupted
    }
    const QString answer = QString::fromLocal8Bit(line).trimmed().toLower();
    if (answer == QLatin1String("y") || answer == QLatin1String("yes") || answer == QLatin1String("ok")) return true;
    if (answer == QLatin1String("n") || answer == QLatin1String("no") || answer == QLatin1String("c") ||
        answer == QLatin1String("cancel"))
      return false;
  }
}

bool TerminalDialogs::Ask(const QString& text, const QString& prompt, bool guard) {
  bool yes = false;
  if (guard && policy_.force) {
    Line(false, prompt + QStringLiteral(" yes (--force)"));
    yes = true;
  } else if (!guard && policy_.yes) {
    Line(false, prompt + QStringLiteral(" yes (--yes)"));
    yes = true;
  } else if (policy_.inputTerminal) {
    yes = AskTerminal(prompt);
  } else if (guard) {
    Line(false, prompt + QStringLiteral(" no (use --force to accept it)"));
    QString shown = text;
    shown.replace(QLatin1Char('\r'), QLatin1Char(' '));
    Line(true, QStringLiteral("zelvoflash: answered No without --force: ") + shown);
  } else {
    Line(false, prompt + QStringLiteral(" no (standard input is not a terminal; use --yes)"));
  }
  if (!yes) (guard ? declinedGuard_ : declinedRoutine_) = text;
  return yes;
}

MsgResult TerminalDialogs::MessageDlg(Prompt prompt, const QString& text, MsgIcon icon, MsgButtons buttons) {
  return Question(text, icon, buttons, TakesRisk(prompt));
}

MsgResult TerminalDialogs::Question(const QString& text, MsgIcon icon, MsgButtons buttons, bool guard) {
  shown_ << text;
  const QString prefix = icon == MsgIcon::Error     ? QStringLiteral("Error: ")
                         : icon == MsgIcon::Warning ? QStringLiteral("Warning: ")
                                                    : QString();
  Print(prefix, text);
  MsgResult result = MsgResult::OK;
  if (buttons == MsgButtons::OKCancel)
    result = Ask(text, QStringLiteral("[OK/Cancel]"), guard) ? MsgResult::OK : MsgResult::Cancel;
  if (buttons == MsgButtons::YesNo) result = Ask(text, QStringLiteral("[Yes/No]"), guard) ? MsgResult::Yes : MsgResult::No;
  return result;
}

std::optional<QString> TerminalDialogs::OpenFile(const QString&) {
  if (firmwareOffered_ || firmware_.isEmpty()) return std::nullopt;
  firmwareOffered_ = true;
  return firmware_;
}

std::optional<QString> TerminalDialogs::SelectPort(const QStringList& ports) {
  Print(QStringLiteral("Select Port: "), QStringLiteral("the configured serial port is not valid; available: ") +
                                             ports.join(QStringLiteral(", ")));
  return std::nullopt;
}

}  // namespace zelvo::cli
