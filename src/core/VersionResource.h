#pragma once
// VS_VERSIONINFO blocks: building, finding inside an executable, and looking
// up values by path (as VerQueryValue does).
//
// A block is a tree of nodes, each aligned on 32 bits from the block start:
//   wLength (u16)       bytes of the node, children included
//   wValueLength (u16)  value size: characters for text values, bytes otherwise
//   wType (u16)         1 = text value, 0 = binary value
//   szKey               UTF-16LE, zero-terminated, then padding to 32 bits
//   Value               then padding to 32 bits
//   Children            nodes, up to wLength
// The root is "VS_VERSION_INFO" with a 52-byte VS_FIXEDFILEINFO value
// (signature 0xFEEF04BD) and the children "StringFileInfo" (string tables
// named by language and code page, e.g. "040904E4") and "VarFileInfo"
// ("Translation": pairs of u16 language, u16 code page).
//
// Every read stays inside the block: lengths that point outside it end the walk.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

namespace zelvo {

struct VersionBlockInput {
  quint16 language = 0x0409;
  quint16 codePage = 0x04E4;
  // String entries in the order they are written ("FileVersion", "8.2.1.1234").
  QList<QPair<QString, QString>> strings;
};

// Builds a block; the fixed file version is taken from the "FileVersion"
// entry when it has the dotted numeric form.
QByteArray BuildVersionBlock(const VersionBlockInput& input);

// The first well-formed block inside a file image, or nothing.
std::optional<QByteArray> FindVersionBlock(const QByteArray& image);

// Value of the node at a backslash-separated path ("\VarFileInfo\Translation",
// "\StringFileInfo\040904E4\FileVersion"); keys compare case-insensitively.
// Text values come back as UTF-16LE bytes without the terminating zero.
std::optional<QByteArray> QueryVersionValue(const QByteArray& block, const QString& path);

// A text value decoded from UTF-16LE, stopping at the first zero character.
QString VersionText(const QByteArray& utf16);

// The version block of the executable at path, or nothing when it carries
// none (or cannot be read). On Windows the block is the file's version
// resource, as GetFileVersionInfo gives it; elsewhere the block built into
// the file (VersionBlockPosix.cpp, VersionBlockWindows.cpp).
std::optional<QByteArray> ReadExecutableVersionBlock(const QString& path);

// The file version ("8.2.1.1234") from the version block of the executable
// at path, or empty when it carries none (or cannot be read).
QString ExecutableFileVersion(const QString& path);

}  // namespace zelvo
