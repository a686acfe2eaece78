// The libusb backend on a machine without docks, and its identifiers file.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>

#include <libusb.h>

#include "core/Diagnostics.h"
#include "support/ScriptedDialogs.h"
#include "usb/LibusbBackend.h"
#include "usb/USBPipe.h"
#include "usb/UsbDeviceIds.h"

namespace zelvo::testing {
namespace {

QString ShippedFile() { return qEnvironmentVariable("ZELVO_SOURCE_DIR") + QStringLiteral("/resources/usb_devices.txt"); }

QString WriteFile(const QTemporaryDir& dir, const QByteArray& text) {
  const QString path = dir.filePath(QStringLiteral("usb_devices.txt"));
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text);
  return path;
}

TEST(UsbDeviceIds, ParsesKindsByGuidOrNameAndSkipsBadEntries) {
  DiagnosticCapture diag;
  const UsbIdTable table = ParseUsbDeviceIds(QStringLiteral(
      "# comment\n"
      "\n"
      "{6ee29a82-690f-11d8-a041-0030bd035f12} 1234:5678 abcd:EF01\n"
      "tpKovaExpress 1234:5678 1234:0001   # the same pair again, then one more\n"
      "tpdorrim 0001:0002 12345:1 zz:1\n"
      "tpNoSuchDock 1111:2222\n"
      "{not-a-guid} 1111:2222\n"), QStringLiteral("ids"));
  EXPECT_EQ(table.value(DeviceTypeGuid(tpKovaExpress)),
            (QList<UsbId>{{0x1234, 0x5678}, {0xABCD, 0xEF01}, {0x1234, 0x0001}}));
  EXPECT_EQ(table.value(DeviceTypeGuid(tpDorrim)), (QList<UsbId>{{0x0001, 0x0002}}));
  EXPECT_EQ(table.size(), 2);
  EXPECT_TRUE(diag.Contains(QStringLiteral("UsbDeviceIds - ids:5: bad VID:PID \"12345:1\"")));
  EXPECT_TRUE(diag.Contains(QStringLiteral("UsbDeviceIds - ids:6: unknown device kind \"tpNoSuchDock\"")));
  EXPECT_TRUE(diag.Contains(QStringLiteral("UsbDeviceIds - ids:7: unknown device kind \"{not-a-guid}\"")));

  // A file name is named as it stands, "%1" in it too.
  diag.Clear();
  ParseUsbDeviceIds(QStringLiteral("tpVessik 1:2\ntpVessik 9:9:9\n"), QStringLiteral("100%1.txt"));
  EXPECT_EQ(diag.Lines(), QStringList{QStringLiteral("UsbDeviceIds - 100%1.txt:2: bad VID:PID \"9:9:9\"")});
}

TEST(UsbDeviceIds, ShippedFileHasNoEntriesAndIsFoundLast) {
  ASSERT_TRUE(QFile::exists(ShippedFile()));
  EXPECT_TRUE(ReadUsbDeviceIds(ShippedFile()).isEmpty());
  EXPECT_TRUE(ReadUsbDeviceIds(QStringLiteral("/no/such/file")).isEmpty());
  const QStringList search = UsbDeviceIdsSearchPath();
  ASSERT_FALSE(search.isEmpty());
  EXPECT_EQ(QDir::cleanPath(search.last()), QDir::cleanPath(ShippedFile()));
  // The environment variable comes first.
  QTemporaryDir dir;
  const QString mine = WriteFile(dir, "tpVessik 1:2\n");
  qputenv("ZELVO_USB_DEVICES", mine.toLocal8Bit());
  EXPECT_EQ(DefaultUsbDeviceIdsPath(), mine);
  qunsetenv("ZELVO_USB_DEVICES");
}

TEST(LibusbBackendTest, ListsNothingWithoutDocks) {
  LibusbBackend backend(ShippedFile());
  for (int kind = tpKovaExpress; kind <= tpDorrim; ++kind) {
    const std::optional<QStringList> found = backend.ListDevices(DeviceTypeGuid(kind));
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(found->isEmpty());
  }
}

TEST(LibusbBackendTest, ListsNothingForIdentifiersNoDeviceHas) {
  libusb_context* probe = nullptr;
  const int init = libusb_init(&probe);
  if (init == 0) libusb_exit(probe);
  QTemporaryDir dir;
  LibusbBackend backend(WriteFile(dir, "tpKovaExpress FFFF:FFFE\n"));
  EXPECT_EQ(backend.DevicesFile(), dir.filePath(QStringLiteral("usb_devices.txt")));
  const std::optional<QStringList> found = backend.ListDevices(DeviceTypeGuid(tpKovaExpress));
  // Where libusb itself cannot start the enumeration cannot run.
  EXPECT_EQ(found.has_value(), init == 0);
  if (found) {
    EXPECT_TRUE(found->isEmpty());
  }
}

TEST(LibusbBackendTest, DevicesThatAreNotThereCannotBeOpened) {
  LibusbBackend backend(ShippedFile());
  const QString path = QStringLiteral("usb:9-9.9#") + GuidText(DeviceTypeGuid(tpKovaExpress));
  int error = 0;
  EXPECT_EQ(backend.OpenPipe(path, 0, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  DescriptorBuffer buffer{};
  bool opened = true;
  EXPECT_EQ(backend.ReadConfigDescriptor(QStringLiteral("not a path"), buffer, &opened), ENOENT);
  EXPECT_FALSE(opened);
  EXPECT_EQ(backend.ErrorMessage(ENODEV), QStringLiteral("No such device"));
  EXPECT_EQ(LibusbBackend::ErrnoOf(LIBUSB_ERROR_NO_DEVICE), ENODEV);
  EXPECT_EQ(LibusbBackend::ErrnoOf(LIBUSB_ERROR_ACCESS), EACCES);
  EXPECT_EQ(LibusbBackend::ErrnoOf(LIBUSB_ERROR_TIMEOUT), ETIMEDOUT);
}

TEST(LibusbBackendTest, IsThePlatformDefaultAndADeviceOverItFindsNoDock) {
  ASSERT_NE(dynamic_cast<LibusbBackend*>(&CurrentUsbBackend()), nullptr);
  ScriptedDialogs dialogs;
  ScopedDialogs installed(&dialogs);
  TUSBDevice device;
  device.SetDeviceType(tpKovaExpress);
  EXPECT_TRUE(device.RefreshDeviceList());
  EXPECT_TRUE(device.DeviceList().isEmpty());
  EXPECT_FALSE(device.Connect());
  EXPECT_EQ(dialogs.Texts(), QStringList{"Device has no pipes!"});
}

}  // namespace
}  // namespace zelvo::testing
