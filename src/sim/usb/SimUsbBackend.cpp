#include "sim/usb/SimUsbBackend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

namespace zelvo::sim {

QByteArray BuildConfigDescriptor(const std::vector<SimEndpoint>& endpoints) {
  QByteArray d;
  const int total = 9 + 9 + 7 * static_cast<int>(endpoints.size());
  const char config[9] = {9, 2, static_cast<char>(total & 0xFF), static_cast<char>((total >> 8) & 0xFF),
                          1, 1, 0, static_cast<char>(0x80), 50};
  d.append(config, 9);
  const char intf[9] = {9, 4, 0, 0, static_cast<char>(endpoints.size()), static_cast<char>(0xFF), 0, 0, 0};
  d.append(intf, 9);
  for (const SimEndpoint& ep : endpoints) {
    const char e[7] = {7, 5, static_cast<char>(ep.address), static_cast<char>(ep.attributes),
                       static_cast<char>(ep.maxPacketSize & 0xFF), static_cast<char>(ep.maxPacketSize >> 8), 0};
    d.append(e, 7);
  }
  return d;
}

std::vector<SimEndpoint> DockEndpoints(std::uint16_t maxPacketSize) {
  return {{0x01, maxPacketSize, 0x02}, {0x81, maxPacketSize, 0x02},
          {0x82, maxPacketSize, 0x02}, {0x02, maxPacketSize, 0x02}};
}

// --- SimUsbDevice -----------------------------------------------------------

SimUsbDevice::SimUsbDevice(QString path, QUuid interfaceClass, QByteArray descriptor)
    : path_(std::move(path)), interface_class_(interfaceClass), descriptor_(std::move(descriptor)) {}

QByteArray SimUsbDevice::Descriptor() const {
  std::lock_guard lock(mutex_);
  return descriptor_;
}

void SimUsbDevice::SetDescriptor(const QByteArray& descriptor) {
  std::lock_guard lock(mutex_);
  descriptor_ = descriptor;
}

SimUsbDevice::Pipe& SimUsbDevice::At(int pipe) { return pipes_[pipe]; }

const SimUsbDevice::Pipe* SimUsbDevice::Find(int pipe) const {
  auto it = pipes_.find(pipe);
  return it == pipes_.end() ? nullptr : &it->second;
}

void SimUsbDevice::QueuePacket(int pipe, const QByteArray& packet) {
  {
    std::lock_guard lock(mutex_);
    At(pipe).packets.push_back(packet);
  }
  cv_.notify_all();
  Announce(pipe);
}

void SimUsbDevice::QueueData(int pipe, const QByteArray& data, int packetSize) {
  if (packetSize <= 0) packetSize = 64;
  {
    std::lock_guard lock(mutex_);
    for (qsizetype at = 0; at < data.size(); at += packetSize) At(pipe).packets.push_back(data.mid(at, packetSize));
  }
  cv_.notify_all();
  if (!data.isEmpty()) Announce(pipe);
}

int SimUsbDevice::QueuedPackets(int pipe) const {
  std::lock_guard lock(mutex_);
  const Pipe* p = Find(pipe);
  return p ? static_cast<int>(p->packets.size()) : 0;
}

QList<QByteArray> SimUsbDevice::Writes(int pipe) const {
  std::lock_guard lock(mutex_);
  const Pipe* p = Find(pipe);
  return p ? p->writes : QList<QByteArray>();
}

QByteArray SimUsbDevice::Written(int pipe) const {
  QByteArray all;
  for (const QByteArray& w : Writes(pipe)) all += w;
  return all;
}

void SimUsbDevice::ClearWrites() {
  std::lock_guard lock(mutex_);
  for (auto& [n, p] : pipes_) p.writes.clear();
  log_.clear();
}

void SimUsbDevice::SetRecordWrites(bool record) {
  std::lock_guard lock(mutex_);
  record_writes_ = record;
}

QStringList SimUsbDevice::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

int SimUsbDevice::ReadCount(int pipe) const {
  std::lock_guard lock(mutex_);
  const Pipe* p = Find(pipe);
  return p ? p->reads : 0;
}

bool SimUsbDevice::IsPipeOpen(int pipe) const {
  std::lock_guard lock(mutex_);
  const Pipe* p = Find(pipe);
  return p && p->openCount > 0;
}

int SimUsbDevice::OpenPipeCount() const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const auto& [number, p] : pipes_) n += p.openCount > 0 ? 1 : 0;
  return n;
}

void SimUsbDevice::FailPipeOpen(int pipe, int error) {
  std::lock_guard lock(mutex_);
  At(pipe).failOpen = error;
}

void SimUsbDevice::FailReads(int pipe, int error) {
  {
    std::lock_guard lock(mutex_);
    At(pipe).failReads = error;
  }
  cv_.notify_all();
  if (error != 0) Announce(pipe);
}

void SimUsbDevice::FailWrites(int pipe, int error) {
  std::lock_guard lock(mutex_);
  At(pipe).failWrites = error;
}

void SimUsbDevice::SetEmptyWrites(int pipe, int count) {
  std::lock_guard lock(mutex_);
  At(pipe).emptyWrites = count;
}

void SimUsbDevice::StallWrites(int pipe, bool stall) {
  {
    std::lock_guard lock(mutex_);
    At(pipe).stallWrites = stall;
  }
  cv_.notify_all();
}

void SimUsbDevice::FailOpen(int error) {
  std::lock_guard lock(mutex_);
  fail_open_ = error;
}

void SimUsbDevice::FailDescriptor(int error) {
  std::lock_guard lock(mutex_);
  fail_descriptor_ = error;
}

bool SimUsbDevice::Unplugged() const {
  std::lock_guard lock(mutex_);
  return unplugged_;
}

void SimUsbDevice::Unplug() {
  {
    std::lock_guard lock(mutex_);
    unplugged_ = true;
  }
  cv_.notify_all();
  AnnounceAll();
}

void SimUsbDevice::HostAnnounce(int pipe, std::function<void()> arrived) {
  std::lock_guard lock(announce_mutex_);
  if (arrived) announcers_[pipe] = std::move(arrived);
  else announcers_.erase(pipe);
}

void SimUsbDevice::Announce(int pipe) {
  std::lock_guard lock(announce_mutex_);
  if (auto it = announcers_.find(pipe); it != announcers_.end()) it->second();
}

void SimUsbDevice::AnnounceAll() {
  std::lock_guard lock(announce_mutex_);
  for (auto& [pipe, arrived] : announcers_) arrived();
}

int SimUsbDevice::HostRead(int pipe, std::uint8_t* data, int length, int timeoutMs, int* error) {
  std::unique_lock lock(mutex_);
  Pipe& p = At(pipe);
  ++p.reads;
  const auto ready = [&] { return unplugged_ || p.failReads != 0 || !p.packets.empty(); };
  // A zero time-out must not let go of the lock: a read that has been counted
  // decides at once, and a packet queued after it is for the next read.
  if (timeoutMs > 0) cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  if (unplugged_) {
    *error = ENODEV;
    return -1;
  }
  if (p.failReads != 0) {
    *error = p.failReads;
    return -1;
  }
  if (p.packets.empty()) return 0;
  QByteArray& front = p.packets.front();
  const int n = std::min(length, static_cast<int>(front.size()));
  std::copy(front.constData(), front.constData() + n, reinterpret_cast<char*>(data));
  // A packet longer than the request is read over several transfers.
  if (n < front.size()) front.remove(0, n);
  else p.packets.pop_front();
  log_ << QStringLiteral("R%1").arg(pipe);
  // What is still queued completes the next pending read at once: announced
  // again, as a device's next transfer would be (an empty packet moves no
  // bytes, and the receive thread must not sleep on what follows it).
  const bool more = !p.packets.empty();
  lock.unlock();
  if (more) Announce(pipe);
  return n;
}

int SimUsbDevice::HostWrite(int pipe, const std::uint8_t* data, int length, int* error) {
  QByteArray bytes(reinterpret_cast<const char*>(data), length);
  std::function<void(int, const QByteArray&)> callback;
  {
    std::unique_lock lock(mutex_);
    Pipe& p = At(pipe);
    cv_.wait(lock, [&] { return unplugged_ || !p.stallWrites; });
    if (unplugged_) {
      *error = ENODEV;
      return -1;
    }
    if (p.failWrites != 0) {
      *error = p.failWrites;
      return -1;
    }
    if (p.emptyWrites > 0) {
      --p.emptyWrites;
      return 0;
    }
    if (record_writes_) {
      p.writes << bytes;
      log_ << QStringLiteral("W%1:%2").arg(pipe).arg(length);
    }
    callback = OnHostWrite;
  }
  if (callback) callback(pipe, bytes);
  return length;
}

void SimUsbDevice::HostOpened(int pipe, bool open) {
  std::lock_guard lock(mutex_);
  At(pipe).openCount += open ? 1 : -1;
}

// --- backend ----------------------------------------------------------------

namespace {

class SimPipeFile : public UsbPipeFile {
 public:
  SimPipeFile(std::shared_ptr<SimUsbDevice> device, int pipe, const SimUsbBackend& backend)
      : device_(std::move(device)), pipe_(pipe), backend_(backend) {
    device_->HostOpened(pipe_, true);
  }
  ~SimPipeFile() override {
    if (announces_) device_->HostAnnounce(pipe_, nullptr);
    device_->HostOpened(pipe_, false);
  }
  int Read(std::uint8_t* data, int length, int* error) override {
    // A pending read has either completed or not: no waiting here.
    return device_->HostRead(pipe_, data, length, announces_ ? 0 : backend_.ReadTimeoutMs(), error);
  }
  int Write(const std::uint8_t* data, int length, int* error) override {
    return device_->HostWrite(pipe_, data, length, error);
  }
  bool AnnounceArrivals(std::function<void()> arrived) override {
    if (!backend_.AnnouncesArrivals()) return false;
    device_->HostAnnounce(pipe_, std::move(arrived));
    announces_ = true;
    return true;
  }

 private:
  std::shared_ptr<SimUsbDevice> device_;
  int pipe_;
  const SimUsbBackend& backend_;
  bool announces_ = false;
};

}  // namespace

SimUsbBackend::SimUsbBackend() = default;
SimUsbBackend::~SimUsbBackend() = default;

std::shared_ptr<SimUsbDevice> SimUsbBackend::AddDevice(const QUuid& interfaceClass, const QByteArray& descriptor,
                                                       const QString& path) {
  std::lock_guard lock(mutex_);
  const QString name = path.isEmpty() ? QStringLiteral("sim:%1#%2").arg(next_).arg(GuidText(interfaceClass)) : path;
  ++next_;
  auto device = std::make_shared<SimUsbDevice>(name, interfaceClass, descriptor);
  devices_.push_back(device);
  return device;
}

std::shared_ptr<SimUsbDevice> SimUsbBackend::AddDock(int deviceType, std::uint16_t maxPacketSize) {
  return AddDevice(DeviceTypeGuid(deviceType), BuildConfigDescriptor(DockEndpoints(maxPacketSize)));
}

std::shared_ptr<SimUsbDevice> SimUsbBackend::Device(const QString& path) const {
  std::lock_guard lock(mutex_);
  for (const auto& device : devices_)
    if (device->Path() == path) return device;
  return nullptr;
}

void SimUsbBackend::Unplug(const QString& path) {
  std::shared_ptr<SimUsbDevice> device;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d->Path() == path; });
    if (it == devices_.end()) return;
    device = *it;
    devices_.erase(it);
  }
  device->Unplug();
}

void SimUsbBackend::SetEnumerationAvailable(bool available) {
  std::lock_guard lock(mutex_);
  enumeration_ = available;
}

void SimUsbBackend::SetAnnounceArrivals(bool announce) {
  std::lock_guard lock(mutex_);
  announce_arrivals_ = announce;
}

bool SimUsbBackend::AnnouncesArrivals() const {
  std::lock_guard lock(mutex_);
  return announce_arrivals_;
}

void SimUsbBackend::SetReadTimeoutMs(int ms) {
  std::lock_guard lock(mutex_);
  read_timeout_ms_ = std::max(ms, 0);
}

int SimUsbBackend::ReadTimeoutMs() const {
  std::lock_guard lock(mutex_);
  return read_timeout_ms_;
}

int SimUsbBackend::ListCount() const {
  std::lock_guard lock(mutex_);
  return lists_;
}

std::optional<QStringList> SimUsbBackend::ListDevices(const QUuid& interfaceClass) {
  std::lock_guard lock(mutex_);
  ++lists_;
  if (!enumeration_) return std::nullopt;
  QStringList paths;
  for (const auto& device : devices_)
    if (device->InterfaceClass() == interfaceClass) paths << device->Path();
  return paths;
}

int SimUsbBackend::ReadConfigDescriptor(const QString& devicePath, DescriptorBuffer& buffer, bool* opened) {
  const std::shared_ptr<SimUsbDevice> device = Device(devicePath);
  *opened = false;
  if (!device) return ENOENT;
  std::lock_guard lock(device->mutex_);
  if (device->fail_open_ != 0) return device->fail_open_;
  *opened = true;
  if (device->fail_descriptor_ != 0) return device->fail_descriptor_;
  const int n = std::min<int>(static_cast<int>(device->descriptor_.size()), kDescriptorBufferSize);
  std::copy(device->descriptor_.constData(), device->descriptor_.constData() + n, reinterpret_cast<char*>(buffer.data()));
  return 0;
}

std::unique_ptr<UsbPipeFile> SimUsbBackend::OpenPipe(const QString& devicePath, int pipe, int* error) {
  const std::shared_ptr<SimUsbDevice> device = Device(devicePath);
  if (!device) {
    *error = ENOENT;
    return nullptr;
  }
  {
    std::lock_guard lock(device->mutex_);
    const int fail = device->fail_open_ != 0 ? device->fail_open_ : device->At(pipe).failOpen;
    if (fail != 0) {
      *error = fail;
      return nullptr;
    }
  }
  return std::make_unique<SimPipeFile>(device, pipe, *this);
}

QString SimUsbBackend::ErrorMessage(int code) const {
  return QString::fromStdString(std::generic_category().message(code));
}

}  // namespace zelvo::sim
