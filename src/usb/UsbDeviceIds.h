#pragma once
// Which USB devices belong to a device kind, for the libusb backend.
//
// Windows finds docks by the interface class their driver registers. Without
// that driver, a device kind's interface-class GUID is mapped to the vendor and
// product identifiers of its docks, read from a small text file
// (resources/usb_devices.txt):
//
//   # comment
//   {6EE29A82-690F-11D8-A041-0030BD035F12} 1234:5678 1234:5679
//   tpMPKovaExpress 1234:567A
//
// One kind per line: its GUID in braces or its name (tpKovaExpress ..
// tpDorrim), then one or more VID:PID pairs in hexadecimal, separated by
// blanks (spaces, tabs, carriage returns, other Unicode spaces). Lines may
// repeat a kind; their pairs add up. Bad lines and bad pairs are skipped with a
// diagnostic.

#include <QList>
#include <QMap>
#include <QString>
#include <QUuid>
#include <cstdint>

namespace zelvo {

struct UsbId {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  bool operator==(const UsbId&) const = default;
};

using UsbIdTable = QMap<QUuid, QList<UsbId>>;

// Parses the file's text; CR LF line ends read as LF ones. origin names the
// file in diagnostics.
UsbIdTable ParseUsbDeviceIds(const QString& text, const QString& origin = {});

// Reads a file and parses its text (UTF-8); a missing or unreadable file gives
// an empty table.
UsbIdTable ReadUsbDeviceIds(const QString& path);

// Where the libusb backend looks for the file when none was given, first
// existing one wins:
//   1. $ZELVO_USB_DEVICES
//   2. <executable's folder>/usb_devices.txt
//   3. <executable's folder>/../share/zelvoflash/usb_devices.txt
//   4. /etc/zelvoflash/usb_devices.txt
//   5. resources/usb_devices.txt of the source tree the program was built from
// Empty when none exists.
QString DefaultUsbDeviceIdsPath();
QStringList UsbDeviceIdsSearchPath();

}  // namespace zelvo
