#include "usb/UsbDeviceIds.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "core/Diagnostics.h"
#include "usb/UsbBackend.h"

namespace zelvo {

namespace {

std::optional<QUuid> KindGuid(const QString& token) {
  if (token.startsWith(QLatin1Char('{'))) {
    const QUuid guid = QUuid::fromString(token);
    if (guid.isNull()) return std::nullopt;
    return guid;
  }
  for (int kind = tpKovaExpress; kind <= tpDorrim; ++kind)
    if (token.compare(DeviceTypeName(kind), Qt::CaseInsensitive) == 0) return DeviceTypeGuid(kind);
  return std::nullopt;
}

std::optional<UsbId> ParseId(const QString& token) {
  static const QRegularExpression form(QStringLiteral("^([0-9A-Fa-f]{1,4}):([0-9A-Fa-f]{1,4})$"));
  const QRegularExpressionMatch m = form.match(token);
  if (!m.hasMatch()) return std::nullopt;
  return UsbId{static_cast<std::uint16_t>(m.captured(1).toUInt(nullptr, 16)),
               static_cast<std::uint16_t>(m.captured(2).toUInt(nullptr, 16))};
}

}  // namespace

UsbIdTable ParseUsbDeviceIds(const QString& text, const QString& origin) {
  UsbIdTable table;
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (int n = 0; n < lines.size(); ++n) {
    const QString line = lines[n].trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
    const QStringList tokens = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    const QString where = QStringLiteral("%1:%2").arg(origin, QString::number(n + 1));
    const std::optional<QUuid> guid = KindGuid(tokens.value(0));
    if (!guid) {
      Diagnostic(QStringLiteral("UsbDeviceIds - %1: unknown device kind \"%2\"").arg(where, tokens.value(0)));
      continue;
    }
    QList<UsbId>& ids = table[*guid];
    for (int i = 1; i < tokens.size(); ++i) {
      if (tokens[i].startsWith(QLatin1Char('#'))) break;  // trailing comment
      if (const std::optional<UsbId> id = ParseId(tokens[i])) {
        if (!ids.contains(*id)) ids << *id;
      } else {
        Diagnostic(QStringLiteral("UsbDeviceIds - %1: bad VID:PID \"%2\"").arg(where, tokens[i]));
      }
    }
  }
  return table;
}

UsbIdTable ReadUsbDeviceIds(const QString& path) {
  if (path.isEmpty()) return {};
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
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
