#pragma once
// Byte strings and 1-based positions.
//
// Messages, replies, pages, file fields and LCD texts travel as QByteArray.
// The instrument's documentation counts positions from 1; these helpers are
// the one place where a 1-based position meets a 0-based index. Every helper
// stays inside the array whatever the position asked for.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace zelvo {

// 1-based position of the first occurrence of needle in text, 0 when absent.
inline int Pos(const QByteArray& needle, const QByteArray& text) {
  const qsizetype i = text.indexOf(needle);
  return i < 0 ? 0 : static_cast<int>(i) + 1;
}

// The byte at 1-based position pos, or -1 when the text has no such position.
inline int ByteAt(const QByteArray& text, qsizetype pos) {
  if (pos < 1 || pos > text.size()) return -1;
  return static_cast<unsigned char>(text.at(pos - 1));
}

// Up to count bytes from 1-based position pos; shorter (or empty) when the
// text ends earlier.
inline QByteArray Copy(const QByteArray& text, qsizetype pos, qsizetype count) {
  if (pos < 1) pos = 1;
  if (count <= 0 || pos > text.size()) return {};
  return text.mid(pos - 1, count);
}

// Everything from 1-based position pos to the end.
inline QByteArray CopyFrom(const QByteArray& text, qsizetype pos) {
  if (pos < 1) pos = 1;
  if (pos > text.size()) return {};
  return text.mid(pos - 1);
}

// Multi-byte fields at a 0-based offset: the one place the byte orders of
// the wire, the files and the descriptors are read. A field that does not
// lie wholly inside the bytes reads as 0.
inline quint16 BigEndian16At(QByteArrayView bytes, qsizetype at) {
  if (at < 0 || at + 2 > bytes.size()) return 0;
  return static_cast<quint16>((static_cast<quint8>(bytes[at]) << 8) | static_cast<quint8>(bytes[at + 1]));
}
inline quint16 LittleEndian16At(QByteArrayView bytes, qsizetype at) {
  if (at < 0 || at + 2 > bytes.size()) return 0;
  return static_cast<quint16>(static_cast<quint8>(bytes[at]) | (static_cast<quint8>(bytes[at + 1]) << 8));
}
inline quint32 LittleEndian32At(QByteArrayView bytes, qsizetype at) {
  if (at < 0 || at + 4 > bytes.size()) return 0;
  return static_cast<quint32>(LittleEndian16At(bytes, at)) | (static_cast<quint32>(LittleEndian16At(bytes, at + 2)) << 16);
}

// One byte as a byte string (chr()).
inline QByteArray Chr(int value) {
  return QByteArray(1, static_cast<char>(value & 0xFF));
}

// Byte strings shown to the operator: every byte is one Latin-1 character, so
// any value (a type letter of 0xFF, a zero) survives the trip.
inline QString ToText(const QByteArray& bytes) { return QString::fromLatin1(bytes); }
inline QByteArray FromText(const QString& text) { return text.toLatin1(); }

// Upper-case hexadecimal dump "45 4E 51" for diagnostics and test failures.
inline QString HexDump(const QByteArray& bytes) {
  return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

}  // namespace zelvo
