#pragma once
// Machine-readable results: the JSON object printed by --json and appended by
// --log as one line of a service record file.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

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

// Local time now in ISO 8601 with its offset from UTC.
QString LocalTimestamp();

// Text of a byte string with every byte that is not printable ASCII escaped
// as \xHH (and the backslash itself as \\).
QString PrintableText(const QByteArray& bytes);

}  // namespace zelvo::cli
