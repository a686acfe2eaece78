#include "usb/UsbDeviceIds.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringBuilder>
#include <QStringTokenizer>

#include "core/Diagnostics.h"
#include "usb/UsbBackend.h"

namespace zelvo {

namespace {

// The word of line that starts at or after at, at moved past it: what stands
// between blanks (spaces, tabs, carriage returns and the like). Empty at the
// line's end.
QStringView NextWord(QStringView line, qsizetype& at) {
  while (at < line.size() && line[at].isSpace()) ++at;
  const qsizetype start = at;
  while (at < line.size() && !line[at].isSpace()) ++at;
  return line.sliced(start, at - start);
}

std::optional<QUuid> KindGuid(QStringView word) {
  if (word.startsWith(QLatin1Char('{'))) {
    const QUuid guid = QUuid::fromString(word);
    if (guid.isNull()) return std::nullopt;
    return guid;
  }
  static const QStringList names = [] {
    QStringList all;
    for (int kind = tpKovaExpress; kind <= tpDorrim; ++kind) all << DeviceTypeName(kind);
    return all;
  }();
  for (int kind = tpKovaExpress; kind <= tpDorrim; ++kind)
    if (word.compare(names[kind - tpKovaExpress], Qt::CaseInsensitive) == 0) return DeviceTypeGuid(kind);
  return std::nullopt;
}

// One to four hexadecimal digits.
std::optional<std::uint16_t> HexWord(QStringView digits) {
  if (digits.isEmpty() || digits.size() > 4) return std::nullopt;
  std::uint16_t value = 0;
  for (const QChar c : digits) {
    const char16_t u = c.unicode();
    const int digit = u >= '0' && u <= '9'   ? u - '0'
                      : u >= 'a' && u <= 'f' ? u - 'a' + 10
                      : u >= 'A' && u <= 'F' ? u - 'A' + 10
                                             : -1;
    if (digit < 0) return std::nullopt;
    value = static_cast<std::uint16_t>((value << 4) | digit);
  }
  return value;
}

// "VID:PID".
std::optional<UsbId> ParseId(QStringView word) {
  const qsizetype colon = word.indexOf(QLatin1Char(':'));
  if (colon < 0) return std::nullopt;
  const std::optional<std::uint16_t> vid = HexWord(word.left(colon));
  const std::optional<std::uint16_t> pid = HexWord(word.mid(colon + 1));
  if (!vid || !pid) return std::nullopt;
  return UsbId{*vid, *pid};
}

}  // namespace

UsbIdTable ParseUsbDeviceIds(const QString& text, const QString& origin) {
  UsbIdTable table;
  qsizetype lineNumber = 0;
  for (const QStringView line : QStringView(text).tokenize(QLatin1Char('\n'))) {
    ++lineNumber;
    const auto diagnose = [&](QLatin1String what, QStringView word) {
      Diagnostic(QLatin1String("UsbDeviceIds - ") % origin % QLatin1Char(':') % QString::number(lineNumber) %
                 QLatin1String(": ") % what % QLatin1String(" \"") % word % QLatin1Char('"'));
    };

    qsizetype at = 0;
    const QStringView kind = NextWord(line, at);
    if (kind.isEmpty() || kind.startsWith(QLatin1Char('#'))) continue;
    const std::optional<QUuid> guid = KindGuid(kind);
    if (!guid) {
      diagnose(QLatin1String("unknown device kind"), kind);
      continue;
    }
    QList<UsbId>& ids = table[*guid];
    // Pairs up to the line's end or a trailing comment.
    for (QStringView word = NextWord(line, at); !word.isEmpty() && !word.startsWith(QLatin1Char('#'));
         word = NextWord(line, at)) {
      if (const std::optional<UsbId> id = ParseId(word)) {
        if (!ids.contains(*id)) ids << *id;
      } else {
        diagnose(QLatin1String("bad VID:PID"), word);
      }
    }
  }
  return table;
}

UsbIdTable ReadUsbDeviceIds(const QString& path) {
  if (path.isEmpty()) return {};
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return ParseUsbDeviceIds(QString::fromUtf8(file.readAll()), path);
}

QStringList UsbDeviceIdsSearchPath() {
  QStringList paths;
  const QString env = qEnvironmentVariable("ZELVO_USB_DEVICES");
  if (!env.isEmpty()) paths << env;
  if (QCoreApplication::instance()) {
    const QString dir = QCoreApplication::applicationDirPath();
    paths << QDir(dir).filePath(QStringLiteral("usb_devices.txt"))
          << QDir::cleanPath(dir + QStringLiteral("/../share/zelvoflash/usb_devices.txt"));
  }
  paths << QStringLiteral("/etc/zelvoflash/usb_devices.txt");
#ifdef ZELVO_USB_DEVICES_SOURCE
  paths << QStringLiteral(ZELVO_USB_DEVICES_SOURCE);
#endif
  return paths;
}

QString DefaultUsbDeviceIdsPath() {
  for (const QString& path : UsbDeviceIdsSearchPath())
    if (QFileInfo(path).isFile()) return path;
  return {};
}

}  // namespace zelvo
