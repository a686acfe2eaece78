#pragma once
// Readable GoogleTest output for Qt strings: texts as text, byte strings as
// text with their hexadecimal bytes.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

inline void PrintTo(const QByteArray& bytes, std::ostream* os) {
  *os << '"' << QString::fromLatin1(bytes).toStdString() << "\" [" << bytes.toHex(' ').toUpper().toStdString() << ']';
}

inline void PrintTo(const QStringList& list, std::ostream* os) {
  *os << '{';
  for (qsizetype i = 0; i < list.size(); ++i) {
    if (i) *os << ", ";
    PrintTo(list[i], os);
  }
  *os << '}';
}
