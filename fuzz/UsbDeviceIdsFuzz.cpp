// The USB identifiers file: device kinds and their VID:PID pairs, on arbitrary
// text, read as a string and as a file.
//
// Input: the file's bytes. Checked: every kind in the table is one of the
// device kinds' classes or a GUID written in braces in the text, with no pair
// twice; reading the file gives the same table; and a line of known pairs
// added to the text adds exactly those pairs to its kind.

#include "FuzzSupport.h"
#include "usb/UsbBackend.h"
#include "usb/UsbDeviceIds.h"

using namespace zelvo;

namespace {

bool KnownKind(const QUuid& guid, const QString& text) {
  for (int kind = tpKovaExpress; kind <= tpDorrim; ++kind)
    if (DeviceTypeGuid(kind) == guid) return true;
  // A GUID of its own, written somewhere in the text.
  return text.contains(guid.toString().mid(1, 36), Qt::CaseInsensitive);
}

void CheckTable(const UsbIdTable& table, const QString& text) {
  for (auto it = table.cbegin(); it != table.cend(); ++it) {
    ZELVO_FUZZ_CHECK(KnownKind(it.key(), text));
    const QList<UsbId>& ids = it.value();
    for (qsizetype i = 0; i < ids.size(); ++i) ZELVO_FUZZ_CHECK(ids.indexOf(ids[i]) == i);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Application();
  fuzz::Input in(data, size);
  const uint8_t settings = in.Byte();
  const QByteArray bytes = in.Rest();
  const QString text = QString::fromUtf8(bytes);

  const UsbIdTable table = ParseUsbDeviceIds(text, QStringLiteral("fuzz"));
  CheckTable(table, text);
  ZELVO_FUZZ_CHECK(ReadUsbDeviceIds(fuzz::ScratchFile(QStringLiteral("usb_devices.txt"), bytes)) ==
                   ParseUsbDeviceIds(QString::fromUtf8(bytes).remove(QLatin1Char('\r')), QStringLiteral("fuzz")));

  // One more line, for a kind named by the input, with two pairs of its own.
  const int kind = settings % (tpDorrim + 1);
  const UsbId first{static_cast<std::uint16_t>(0xF000 | settings), 0x0001};
  const UsbId second{static_cast<std::uint16_t>(0xF000 | settings), 0x0002};
  const QString line = (settings & 0x80 ? DeviceTypeGuid(kind).toString() : DeviceTypeName(kind)) +
                       QStringLiteral(" %1:0001 %1:0002 # pairs added by the fuzzer")
                           .arg(first.vid, 4, 16, QLatin1Char('0'));
  const UsbIdTable added = ParseUsbDeviceIds(text + QStringLiteral("\n") + line + QStringLiteral("\n"));
  QList<UsbId> expected = table.value(DeviceTypeGuid(kind));
  for (const UsbId& id : {first, second})
    if (!expected.contains(id)) expected << id;
  ZELVO_FUZZ_CHECK(added.value(DeviceTypeGuid(kind)) == expected);
  return 0;
}
