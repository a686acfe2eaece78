#pragma once
// Machine-readable results: the JSON object printed by --json and appended by
// --log as one line of a service record file.

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QString>
#include <cstdio>

namespace zelvo::cli {

// The object as one line, without the line end.
QByteArray JsonLine(const QJsonObject& object);

// Whether the record file at path can be appended to (it is created when
// missing); false with error set, naming the path, when it cannot.
bool CheckRecordFile(const QString& path, QString* error);

// Appends line and a line end to the file at path, creating it when missing.
// The line is written whole or not at all (a short write is taken back);
// concurrent runs appending to the same file take turns. False with error set
// when it could not be written.
bool AppendRecordLine(const QString& path, const QByteArray& line, QString* error);

// Opens the trace file at path for appending, created when missing, without
// waiting on it; a FIFO or a socket is refused. False with error set, naming
// the path, when it cannot be opened.
bool OpenTraceFile(QFile& file, const QString& path, QString* error);

// At most maxBytes of the file at path, which must be a file (not a FIFO, a
// device or a folder); nothing waits on it. False with error set, naming the
// path, when it cannot be read.
bool ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray* bytes, QString* error);

// Local time now in ISO 8601 with its offset from UTC.
QString LocalTimestamp();

// Text of a byte string with every byte that is not printable ASCII escaped
// as \xHH (and the backslash itself as \\).
QString PrintableText(const QByteArray& bytes);

// Text safe for a terminal: every control character but the line break and
// the tab (C0, DEL, C1 such as the one-byte CSI 0x9B) escaped as \xHH, so that
// no file, port name or instrument's reply can drive the terminal.
QString TerminalText(const QString& text);

// "zelvoflash: " and text, terminal-safe, as one line; flushed.
void PrintMessage(std::FILE* to, const QString& text);

}  // namespace zelvo::cli
