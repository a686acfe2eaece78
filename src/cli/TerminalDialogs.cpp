#include "cli/TerminalDialogs.h"

#include <QTextStream>

namespace zelvo::cli {

TerminalDialogs::TerminalDialogs(Answers answers, std::FILE* out, std::FILE* in)
    : answers_(answers), out_(out), in_(in) {}

void TerminalDialogs::Print(const QString& prefix, const QString& text) {
  if (BeforePrint) BeforePrint();
  QString shown = text;
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  std::fprintf(out_, "%s%s\n", qPrintable(prefix), shown.toLocal8Bit().constData());
  std::fflush(out_);
}

void TerminalDialogs::ShowMessage(const QString& text) {
  shown_ << text;
  Print(QString(), text);
  if (OnShown) OnShown(text);
}

bool TerminalDialogs::Ask(const QString& prompt) {
  switch (answers_) {
    case Answers::AlwaysYes: {
      std::fprintf(out_, "%s yes (--yes)\n", qPrintable(prompt));
      return true;
    }
    case Answers::AlwaysNo:
      std::fprintf(out_, "%s no (standard input is not a terminal; use --yes)\n", qPrintable(prompt));
      return false;
    case Answers::AskOnTerminal:
      break;
  }
  for (;;) {
    std::fprintf(out_, "%s ", qPrintable(prompt));
    std::fflush(out_);
    char line[64];
    if (!std::fgets(line, sizeof line, in_)) return false;
    const QString answer = QString::fromLocal8Bit(line).trimmed().toLower();
    if (answer == QLatin1String("y") || answer == QLatin1String("yes") || answer == QLatin1String("ok")) return true;
    if (answer == QLatin1String("n") || answer == QLatin1String("no") || answer == QLatin1String("c") ||
        answer == QLatin1String("cancel"))
      return false;
  }
}

MsgResult TerminalDialogs::MessageDlg(const QString& text, MsgIcon icon, MsgButtons buttons) {
  shown_ << text;
  const QString prefix = icon == MsgIcon::Error     ? QStringLiteral("Error: ")
                         : icon == MsgIcon::Warning ? QStringLiteral("Warning: ")
                                                    : QString();
  Print(prefix, text);
  MsgResult result = MsgResult::OK;
  if (buttons == MsgButtons::OKCancel) result = Ask(QStringLiteral("[OK/Cancel]")) ? MsgResult::OK : MsgResult::Cancel;
  if (buttons == MsgButtons::YesNo) result = Ask(QStringLiteral("[Yes/No]")) ? MsgResult::Yes : MsgResult::No;
  if (OnShown) OnShown(text);
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
