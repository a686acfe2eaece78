// The libusb backend against an emulated kernel USB device (umockdev).
//
// The test bed holds one dock in sysfs (its identifiers, its descriptors) and
// answers the usbdevfs ioctls of its device node like the kernel does: URBs
// are submitted, completed and reaped, input URBs wait until the dock has
// bytes for them, cancelled ones come back as cancelled, and after the unplug
// every URB still pending is killed and every further ioctl fails with
// ENODEV. What the dock answers to the host's writes is a chat script
// (UsbChat.h).
//
// Needs the umockdev preload library (the test is run with LD_PRELOAD set);
// without it every test is skipped with the reason.

#include <gtest/gtest.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>

#include "core/Diagnostics.h"
#include "core/MessagePump.h"
#include "support/ScriptedDialogs.h"
#include "support/Pump.h"
#include "usb/LibusbBackend.h"
#include "usb/USBPipe.h"
#include "usb/UsbChat.h"

namespace zelvo::testing {
namespace {

constexpr std::uint16_t kVid = 0x1234;
constexpr std::uint16_t kPid = 0x5678;
constexpr char kSysPath[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4";
constexpr char kDevNode[] = "/dev/bus/usb/001/007";

// Endpoints: pipe 0 data out, 1 data in, 2 control in, 3 control out.
constexpr std::uint8_t kDataOut = 0x01, kDataIn = 0x81, kControlIn = 0x82, kControlOut = 0x02;
constexpr std::uint8_t kEndpointOfPipe[] = {kDataOut, kDataIn, kControlIn, kControlOut};

int PipeOf(std::uint8_t endpoint) {
  return static_cast<int>(std::find(std::begin(kEndpointOfPipe), std::end(kEndpointOfPipe), endpoint) -
                          std::begin(kEndpointOfPipe));
}

const std::uint8_t kConfig[] = {
    9, 2, 46, 0, 1, 1, 0, 0x80, 50,      // configuration, 46 bytes in all
    9, 4, 0, 0, 4, 0xFF, 0, 0, 0,        // interface 0, four endpoints
    7, 5, kDataOut, 2, 64, 0, 0,         // bulk, 64-byte packets
    7, 5, kDataIn, 2, 64, 0, 0,
    7, 5, kControlIn, 2, 64, 0, 0,
    7, 5, kControlOut, 2, 64, 0, 0,
};

const std::uint8_t kDevice[] = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, kVid & 0xFF, kVid >> 8,
                                kPid & 0xFF, kPid >> 8, 0x00, 0x01, 0, 0, 0, 1};

QString Hex(const std::uint8_t* bytes, std::size_t n) {
  return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(n)).toHex().toUpper());
}

// The dock behind the device node: the usbdevfs side of the kernel.
// Handlers run on umockdev's worker thread; the test reads under the lock.
class EmulatedDock {
 public:
  struct Urb {
    UMockdevIoctlData* urb = nullptr;     // struct usbdevfs_urb, resolved
    UMockdevIoctlData* buffer = nullptr;  // its data, resolved
    usbdevfs_urb* Fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
  };

  // What the dock answers to the host's writes (none: nothing).
  UsbChat* chat = nullptr;

  ~EmulatedDock() {
    for (Urb& u : reapable_) Release(u);
    for (auto& [ep, list] : pending_in_)
      for (Urb& u : list) Release(u);
  }

  static gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<EmulatedDock*>(self)->Ioctl(client);
    return TRUE;
  }

  // Kills the pending URBs; from now on the device is gone.
  void Unplug() {
    std::lock_guard lock(mutex_);
    unplugged_ = true;
    for (auto& [ep, list] : pending_in_) {
      for (Urb& u : list) {
        u.Fields()->status = -ESHUTDOWN;
        u.Fields()->actual_length = 0;
        reapable_.push_back(u);
      }
      list.clear();
    }
  }

  // The endpoint halts: its pending read and the next ones fail with a stall
  // until the host clears the halt.
  void Halt(std::uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    halted_[endpoint] = true;
    for (Urb& u : pending_in_[endpoint]) Complete(u, -EPIPE);
    pending_in_[endpoint].clear();
  }
  // Bytes the dock sends on an input endpoint, one packet per read.
  void Send(std::uint8_t endpoint, const QByteArray& bytes) {
    std::lock_guard lock(mutex_);
    to_host_[endpoint] += bytes;
    Feed(endpoint);
  }
  QList<int> ClearedHalts() const { return Locked([this] { return cleared_; }); }
  QList<int> WriteSizes(std::uint8_t endpoint) const {
    return Locked([&] { return write_sizes_.contains(endpoint) ? write_sizes_.at(endpoint) : QList<int>(); });
  }
  int PendingReads(std::uint8_t endpoint) const {
    return Locked([&] { return pending_in_.contains(endpoint) ? static_cast<int>(pending_in_.at(endpoint).size()) : 0; });
  }
  int Claims() const { return Locked([this] { return claims_; }); }
  int Releases() const { return Locked([this] { return releases_; }); }
  int Cancelled() const { return Locked([this] { return cancelled_; }); }

 private:
  template <class Read>
  std::invoke_result_t<Read> Locked(Read read) const {
    std::lock_guard lock(mutex_);
    return read();
  }

  // Under the lock.
  void Complete(Urb& u, int status) {
    u.Fields()->status = status;
    u.Fields()->actual_length = 0;
    reapable_.push_back(u);
  }

  static void Release(Urb& u) {
    g_object_unref(u.buffer);
    g_object_unref(u.urb);
  }

  void Ioctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    std::unique_lock lock(mutex_);
    if (unplugged_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
      lock.unlock();
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), &error);
        *reinterpret_cast<guint32*>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                  USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        break;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_DISCONNECT_CLAIM:  // what libusb asks when it may detach a kernel driver
        ++claims_;
        break;
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:  // no kernel driver is bound to the interface
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
      case USBDEVFS_RELEASEINTERFACE:
        ++releases_;
        break;
      case USBDEVFS_SUBMITURB:
        Submit(arg);
        break;
      case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* endpoint = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), &error);
        const unsigned int ep = *reinterpret_cast<const unsigned int*>(endpoint->data);
        cleared_ << static_cast<int>(ep);
        halted_[static_cast<std::uint8_t>(ep)] = false;
        break;
      }
      case USBDEVFS_DISCARDURB:
        if (!Discard(arg)) {
          lock.unlock();
          umockdev_ioctl_client_complete(client, -1, EINVAL);
          return;
        }
        break;
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY: {
        if (reapable_.empty()) {
          const int code = unplugged_ ? ENODEV : EAGAIN;
          lock.unlock();
          // The node is a socket, always ready for libusb's poll: pace its
          // reaping as a real node would, ready only once a URB is done.
          if (code == EAGAIN) std::this_thread::sleep_for(std::chrono::microseconds(500));
          umockdev_ioctl_client_complete(client, -1, code);
          return;
        }
        Urb done = reapable_.front();
        reapable_.pop_front();
        UMockdevIoctlData* where = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), &error);
        umockdev_ioctl_data_set_ptr(where, 0, done.urb);
        Release(done);
        break;
      }
      default:
        lock.unlock();
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
    lock.unlock();
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  // Under the lock.
  void Submit(UMockdevIoctlData* arg) {
    GError* error = nullptr;
    Urb u;
    u.urb = static_cast<UMockdevIoctlData*>(g_object_ref(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error)));
    const usbdevfs_urb* fields = u.Fields();
    u.buffer = static_cast<UMockdevIoctlData*>(g_object_ref(umockdev_ioctl_data_resolve(
        u.urb, G_STRUCT_OFFSET(usbdevfs_urb, buffer), static_cast<gsize>(fields->buffer_length), &error)));
    const std::uint8_t endpoint = fields->endpoint;
    if (endpoint & 0x80) {
      if (halted_[endpoint]) {
        Complete(u, -EPIPE);
        return;
      }
      pending_in_[endpoint].push_back(u);
      Feed(endpoint);
      return;
    }
    const QByteArray bytes(reinterpret_cast<const char*>(u.buffer->data), u.buffer->data_len);
    write_sizes_[endpoint] << static_cast<int>(bytes.size());
    u.Fields()->actual_length = fields->buffer_length;
    u.Fields()->status = 0;
    reapable_.push_back(u);
    if (const std::optional<UsbChat::Reply> reply = chat ? chat->HostWrote(PipeOf(endpoint), bytes) : std::nullopt) {
      const std::uint8_t to = kEndpointOfPipe[reply->pipe];
      to_host_[to] += reply->bytes;
      Feed(to);
    }
  }

  // Under the lock. Fills pending input URBs, one packet each.
  void Feed(std::uint8_t endpoint) {
    QByteArray& waiting = to_host_[endpoint];
    std::deque<Urb>& urbs = pending_in_[endpoint];
    while (!waiting.isEmpty() && !urbs.empty()) {
      Urb u = urbs.front();
      urbs.pop_front();
      const int n = std::min<int>({static_cast<int>(waiting.size()), u.Fields()->buffer_length, 64});
      std::copy_n(waiting.constData(), n, reinterpret_cast<char*>(u.buffer->data));
      waiting.remove(0, n);
      u.Fields()->actual_length = n;
      u.Fields()->status = 0;
      reapable_.push_back(u);
    }
  }

  // Under the lock. The argument is the URB's address in the client.
  bool Discard(UMockdevIoctlData* arg) {
    const gulong address = *reinterpret_cast<const gulong*>(arg->data);
    for (auto& [ep, list] : pending_in_) {
      for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->urb->client_addr != address) continue;
        Urb u = *it;
        list.erase(it);
        u.Fields()->status = -ENOENT;
        u.Fields()->actual_length = 0;
        reapable_.push_back(u);
        ++cancelled_;
        return true;
      }
    }
    return false;
  }

  mutable std::mutex mutex_;
  std::deque<Urb> reapable_;
  std::map<std::uint8_t, std::deque<Urb>> pending_in_;
  std::map<std::uint8_t, QByteArray> to_host_;
  std::map<std::uint8_t, QList<int>> write_sizes_;
  std::map<std::uint8_t, bool> halted_;
  QList<int> cleared_;
  bool unplugged_ = false;
  int claims_ = 0;
  int releases_ = 0;
  int cancelled_ = 0;
};

using test::Eventually;

class UmockdevUsbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const QByteArray skip = qgetenv("ZELVO_UMOCKDEV_SKIP");
    if (!skip.isEmpty()) GTEST_SKIP() << skip.toStdString();
    testbed_ = umockdev_testbed_new();
    // Tells only once a test bed exists: the preload then redirects /sys.
    if (!umockdev_in_mock_environment())
      GTEST_SKIP() << "umockdev's preload library is not loaded (run with LD_PRELOAD=libumockdev-preload.so.0 "
                      "or under umockdev-wrapper)";
    AddDock();
    ids_ = dir_.filePath(QStringLiteral("usb_devices.txt"));
    QFile file(ids_);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("tpKovaExpress 1234:5678\n");
    file.close();
    backend_ = std::make_unique<LibusbBackend>(ids_);
  }

  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "Diagnostics:\n%s\n", qPrintable(diag_.Lines().join(QLatin1Char('\n'))));
    backend_.reset();  // before the test bed: the event thread talks to it
    if (testbed_) g_object_unref(testbed_);
    if (handler_) g_object_unref(handler_);
  }

  void AddDock() {
    QByteArray descriptors;
    descriptors.append(reinterpret_cast<const char*>(kDevice), sizeof kDevice);
    descriptors.append(reinterpret_cast<const char*>(kConfig), sizeof kConfig);
    const QByteArray record = QByteArray("P: /devices/pci0000:00/0000:00:14.0/usb1/1-4\n"
                                         "N: bus/usb/001/007\n"
                                         "E: SUBSYSTEM=usb\n"
                                         "E: DEVTYPE=usb_device\n"
                                         "E: DEVNAME=/dev/bus/usb/001/007\n"
                                         "E: BUSNUM=001\n"
                                         "E: DEVNUM=007\n"
                                         "A: busnum=1\\n\n"
                                         "A: devnum=7\\n\n"
                                         "A: speed=480\\n\n"
                                         "A: bConfigurationValue=1\\n\n"
                                         "A: dev=189:6\\n\n"
                                         "H: descriptors=") +
                              descriptors.toHex().toUpper() + "\n\n";
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, record.constData(), &error))
        << (error ? error->message : "");
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedDock::HandleIoctl), &dock_);
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, kDevNode, handler_, &error)) << (error ? error->message : "");
  }

  // The dock's device path, as the backend names it.
  static QString DockPath() { return QStringLiteral("usb:1-4#") + GuidText(DeviceTypeGuid(tpKovaExpress)); }

  // A device of the dock's kind, the dock chosen and connected, pumping.
  std::unique_ptr<TUSBDevice> Pumping() {
    auto device = std::make_unique<TUSBDevice>();
    device->SetConnectSettleMs(0);
    device->SetDeviceType(tpKovaExpress);
    device->SetDeviceName(DockPath());
    EXPECT_TRUE(device->Connect());
    device->SetHalted(false);
    return device;
  }

  void Unplug() {
    umockdev_testbed_uevent(testbed_, kSysPath, "remove");
    umockdev_testbed_remove_device(testbed_, kSysPath);
    dock_.Unplug();
  }

  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  EmulatedDock dock_;
  QTemporaryDir dir_;
  QString ids_;
  std::unique_ptr<LibusbBackend> backend_;
  ScriptedDialogs dialogs_;
  ScopedDialogs dialogsInstalled_{&dialogs_};
  DiagnosticCapture diag_;
};

TEST_F(UmockdevUsbTest, TheDockIsFoundByItsIdentifiersAndDescribed) {
  const std::optional<QStringList> found = backend_->ListDevices(DeviceTypeGuid(tpKovaExpress));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, QStringList{DockPath()});
  // Identifiers of other kinds list nothing.
  EXPECT_EQ(backend_->ListDevices(DeviceTypeGuid(tpMPKovaExpress)), QStringList());

  ScopedUsbBackend installed(backend_.get());
  TUSBDevice device;
  device.SetDeviceType(tpKovaExpress);
  EXPECT_EQ(device.DeviceList(), QStringList{DockPath()});
  device.SetDeviceName(DockPath());
  EXPECT_TRUE(dialogs_.Texts().isEmpty());
  // The configuration descriptor, as the device walks it.
  EXPECT_EQ(Hex(device.Descriptor().data(), sizeof kConfig), Hex(kConfig, sizeof kConfig));
  ASSERT_EQ(device.PipeCount(), 4);
  const char* const endpoints[] = {"0705010240000007", "0705810240000007", "0705820240000007", "0705020240000000"};
  for (int n = 0; n < 4; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(device.Pipes(n)->EndpointDescriptor().toHex(), QByteArray(endpoints[n]));
    EXPECT_EQ(device.Pipes(n)->IsInput(), n == 1 || n == 2);
    EXPECT_EQ(device.Pipes(n)->MaxPacketSize(), 64);
  }
}

TEST_F(UmockdevUsbTest, ConnectOpensTheFourPipesWithAReadPendingOnEachInput) {
  ScopedUsbBackend installed(backend_.get());
  {
    auto device = Pumping();
    ASSERT_TRUE(device->IsConnected());
    EXPECT_EQ(dock_.Claims(), 1);  // interface 0, once for the four pipes
    for (int n = 0; n < 4; ++n) EXPECT_TRUE(device->Pipes(n)->IsOpen()) << n;
    EXPECT_TRUE(device->Pipes(1)->AnnouncesArrivals());
    EXPECT_TRUE(device->Pipes(2)->AnnouncesArrivals());
    EXPECT_EQ(dock_.PendingReads(kDataIn), 1);
    EXPECT_EQ(dock_.PendingReads(kControlIn), 1);
    // Disconnect cancels the pending reads and lets the interface go.
    EXPECT_FALSE(device->Disconnect());
    EXPECT_FALSE(device->IsConnected());
    EXPECT_EQ(dock_.Cancelled(), 2);
    EXPECT_EQ(dock_.PendingReads(kDataIn), 0);
    EXPECT_EQ(dock_.Releases(), 1);
  }
  EXPECT_TRUE(dialogs_.Texts().isEmpty());
}

TEST_F(UmockdevUsbTest, AControlCommandIsAnsweredOnTheControlPipe) {
  UsbChat chat;
  chat.Expect(3, "DSC", 2, "ACK");
  dock_.chat = &chat;
  ScopedUsbBackend installed(backend_.get());
  auto device = Pumping();
  QByteArray control;
  QList<int> pipes;
  device->OnPipeData = [&](QObject*, int pipe, int) {
    pipes << pipe;
    control += device->Pipes(pipe)->ReadData();
  };
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("DSC")), 3);
  ASSERT_TRUE(Eventually([&] { return control == "ACK"; }, 5000)) << chat.Matched().message();
  EXPECT_TRUE(chat.Matched());
  EXPECT_EQ(pipes, QList<int>{2});
  EXPECT_EQ(dock_.WriteSizes(kControlOut), QList<int>{3});
  EXPECT_TRUE(dock_.WriteSizes(kDataOut).isEmpty());
}

TEST_F(UmockdevUsbTest, ABareMessageOutAndItsReplyIn) {
  // A page message: "WEP", 128 bytes, a sum; the reply longer than a packet.
  QByteArray message("WEP");
  for (int i = 0; i < 130; ++i) message.append(static_cast<char>(i * 3));
  QByteArray reply("ACK");
  for (int i = 0; i < 67; ++i) reply.append(static_cast<char>(0xE0 + (i % 32)));
  UsbChat chat;
  chat.Expect(0, message, 1, reply);
  dock_.chat = &chat;
  ScopedUsbBackend installed(backend_.get());
  auto device = Pumping();
  QByteArray received;
  ReceiveInto(*device, 1, received);
  EXPECT_EQ(device->Pipes(0)->SendData(message), 133);
  ASSERT_TRUE(Eventually([&] { return received.size() >= reply.size(); }, 5000)) << chat.Matched().message();
  EXPECT_TRUE(chat.Matched());
  EXPECT_TRUE(SameBytes(reply, received));
  // Written as the receive thread cuts it: 64-byte pieces, one transfer each.
  EXPECT_EQ(dock_.WriteSizes(kDataOut), (QList<int>{64, 64, 5}));
}

TEST_F(UmockdevUsbTest, AStalledEndpointIsClearedAndReadsGoOn) {
  ScopedUsbBackend installed(backend_.get());
  auto device = Pumping();
  QByteArray received;
  ReceiveInto(*device, 1, received);
  ASSERT_TRUE(Eventually([&] { return dock_.PendingReads(kDataIn) == 1; }, 30000));
  dock_.Halt(kDataIn);
  ASSERT_TRUE(Eventually([&] { return !dock_.ClearedHalts().isEmpty(); }, 30000));
  dock_.Send(kDataIn, QByteArray("ACKZP"));
  // Read after the stall: the receive thread is past the failed read.
  ASSERT_TRUE(Eventually([&] { return received == "ACKZP"; }, 30000)) << received.toStdString();
  EXPECT_EQ(dock_.ClearedHalts(), QList<int>{kDataIn});
  EXPECT_EQ(device->Pipes(1)->LastError(), EPIPE);  // the stalled read failed as a broken pipe
  EXPECT_TRUE(device->IsConnected());  // still on the bus: nothing further
}

TEST_F(UmockdevUsbTest, UnpluggingTheDockIsNoticedAndReported) {
  ScopedUsbBackend installed(backend_.get());
  auto device = Pumping();
  int removed = 0;
  device->OnDeviceRemoved = [&](QObject* sender) {
    EXPECT_EQ(sender, device.get());
    ++removed;
  };
  ASSERT_TRUE(Eventually([&] { return dock_.PendingReads(kDataIn) == 1; }, 5000));
  Unplug();
  ASSERT_TRUE(Eventually([&] { return removed > 0 && !device->IsConnected(); }, 5000));
  EXPECT_EQ(removed, 1);
  EXPECT_TRUE(device->DeviceList().isEmpty());
  // The read under way when the dock went failed: no such device.
  EXPECT_TRUE(device->Pipes(1)->LastError() == ENODEV || device->Pipes(2)->LastError() == ENODEV);
  // A send to the gone dock fails at once.
  EXPECT_EQ(device->Pipes(0)->SendData(QByteArray("ENQ")), -1);
  device.reset();  // and nothing hangs on the way out
}

}  // namespace
}  // namespace zelvo::testing
