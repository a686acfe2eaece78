#include "usb/UsbBackend.h"

#include <atomic>

#include "usb/PlatformUsbBackend.h"

namespace zelvo {

namespace {
std::atomic<UsbBackend*> g_backend{nullptr};

// Interface-class GUIDs of the device kinds, by ordinal.
const char* const kDeviceTypeGuids[] = {
    "{6EE29A82-690F-11D8-A041-0030BD035F12}",  // tpKovaExpress
    "{0F690300-54BE-11D9-A041-0030BD035F12}",  // tpMPKovaExpress
    "{17C13E00-54BE-11D8-A041-0030BD035F12}",  // tpVessik
    "{D9A037FA-4214-4A73-8055-CD99EDDED50D}",  // tpArvennaKova6
    "{2C831E0D-E8E9-476A-99F5-6954E3475E6B}",  // tpDorrim
};
const char* const kDeviceTypeNames[] = {"tpKovaExpress", "tpMPKovaExpress", "tpVessik",
                                        "tpArvennaKova6", "tpDorrim"};
}  // namespace

QString PipePath(const QString& devicePath, int pipe) {
  return devicePath + QStringLiteral("\\PIPE") +
         QStringLiteral("%1").arg(pipe & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

QString UsbErrorText(const UsbBackend& backend, int code) {
  return QStringLiteral("Error(") + QString::number(code) + QStringLiteral(") - ") + backend.ErrorMessage(code);
}

UsbBackend& CurrentUsbBackend() {
  if (UsbBackend* installed = g_backend.load()) return *installed;
  return PlatformUsbBackend();
}

UsbBackend* SetUsbBackend(UsbBackend* backend) { return g_backend.exchange(backend); }

QUuid DeviceTypeGuid(int deviceType) {
  if (deviceType < 0) deviceType = 0;
  if (deviceType > tpDorrim) deviceType = tpDorrim;
  return QUuid::fromString(QLatin1String(kDeviceTypeGuids[deviceType]));
}

QString DeviceTypeName(int deviceType) {
  if (deviceType < 0 || deviceType > tpDorrim) return {};
  return QLatin1String(kDeviceTypeNames[deviceType]);
}

QByteArray GuidBytes(const QUuid& guid) {
  QByteArray bytes(16, '\0');
  auto put = [&bytes](int at, quint64 value, int count) {
    for (int i = 0; i < count; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(0, guid.data1, 4);
  put(4, guid.data2, 2);
  put(6, guid.data3, 2);
  for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<char>(guid.data4[i]);
  return bytes;
}

QString GuidText(const QUuid& guid) { return guid.toString(QUuid::WithBraces).toUpper(); }

}  // namespace zelvo
