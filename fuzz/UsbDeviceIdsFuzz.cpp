// The USB identifiers file: device kinds and their VID:PID pairs, on arbitrary
// text, parsed in memory.
//
// Input: one byte of settings, then the file's bytes. Checked: every kind in
// the table is one of the device kinds' classes or a GUID written in braces in
// the text, with no pair twice; and a line of known pairs added to the text,
// its line ends made CR LF, adds exactly those pairs to their kind and changes
// nothing else.
//
// The file reader only reads the bytes and hands their text to the same
// parser; writing every input to a file to read it back would cost more than
// all the rest, so one input in kFileRoundOneIn (chosen by its bytes alone)
// is written as a file, and reading that file must give the same table.

#include "FuzzSupport.h"
#include "usb/UsbBackend.h"
#include "usb/UsbDeviceIds.h"

using namespace zelvo;

namespace {

constexpr unsigned kFileRoundOneIn = 1024;

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
  if (fuzz::OneIn(kFileRoundOneIn, data, size))
    ZELVO_FUZZ_CHECK(ReadUsbDeviceIds(fuzz::ScratchFile(QStringLiteral("usb_devices.txt"), bytes)) == table);

  // One more line, for a kind named by the input, with two pairs of its own,
  // after the text with its line ends made CR LF: only those pairs are new.
  const int kind = settings % (tpDorrim + 1);
  const UsbId first{static_cast<std::uint16_t>(0xF000 | settings), 0x0001};
  const UsbId second{static_cast<std::uint16_t>(0xF000 | settings), 0x0002};
  const QString line = (settings & 0x80 ? DeviceTypeGuid(kind).toString() : DeviceTypeName(kind)) +
                       QStringLiteral(" %1:0001 %1:0002 # pairs added by the fuzzer")
                           .arg(first.vid, 4, 16, QLatin1Char('0'));
  const QString crlf = QStringLiteral("\r\n");
  QString more;
  more.reserve(2 * text.size() + line.size() + 4);
  more.append(text).replace(QLatin1Char('\n'), crlf).append(crlf).append(line).append(crlf);
  const UsbIdTable added = ParseUsbDeviceIds(more);
  UsbIdTable expected = table;
  QList<UsbId>& ids = expected[DeviceTypeGuid(kind)];
  for (const UsbId& id : {first, second})
    if (!ids.contains(id)) ids << id;
  ZELVO_FUZZ_CHECK(added == expected);
  return 0;
}
