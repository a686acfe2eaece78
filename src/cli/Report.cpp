#include "cli/Report.h"

#include <QDateTime>
#include <QJsonDocument>

namespace zelvo::cli {

QByteArray JsonLine(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QString LocalTimestamp() {
  const QDateTime now = QDateTime::currentDateTime();
  return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
}

QString PrintableText(const QByteArray& bytes) {
  QString text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\')
      text += QStringLiteral("\\\\");
    else if (byte >= 0x20 && byte < 0x7F)
      text += QLatin1Char(c);
    else
      text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
  }
  return text;
}

QString TerminalText(const QString& text) {
  QString safe;
  safe.reserve(text.size());
  for (const QChar c : text) {
    if (c.category() == QChar::Other_Control && c != QLatin1Char('\n') && c != QLatin1Char('\t'))
      safe += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    else
      safe += c;
  }
  return safe;
}

void PrintMessage(std::FILE* to, const QString& text) {
  std::fprintf(to, "zelvoflash: %s\n", TerminalText(text).toLocal8Bit().constData());
  std::fflush(to);
}

}  // namespace zelvo::cli
