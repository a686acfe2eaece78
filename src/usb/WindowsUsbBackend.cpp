#include "usb/WindowsUsbBackend.h"

// clang-format off
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>  // types and constants only: the entry points are loaded at run time
// clang-format on

#include <algorithm>
#include <iterator>
#include <mutex>
#include <vector>

#include "usb/PlatformUsbBackend.h"
#include "usb/UsbDevicePipe.h"

namespace zelvo {

namespace {

using GetClassDevsA = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using EnumDeviceInterfaces = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                           PSP_DEVICE_INTERFACE_DATA);
using GetDeviceInterfaceDetailA = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                PSP_DEVINFO_DATA);
using DestroyDeviceInfoList = BOOL(WINAPI*)(HDEVINFO);

struct SetupApi {
  GetClassDevsA getClassDevs = nullptr;
  EnumDeviceInterfaces enumInterfaces = nullptr;
  GetDeviceInterfaceDetailA getDetail = nullptr;
  DestroyDeviceInfoList destroyList = nullptr;
  bool loaded = false;
};

template <class Fn>
Fn Entry(HMODULE module, const char* name) {
  // Through the generic function pointer type, which converts without warnings.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads the four entry points once; the library is never freed.
const SetupApi& LoadSetupApi() {
  static SetupApi api;
  static std::once_flag once;
  std::call_once(once, [] {
    HMODULE module = LoadLibraryA("SetupApi.dll");
    if (!module) return;
    api.getClassDevs = Entry<GetClassDevsA>(module, "SetupDiGetClassDevsA");
    api.enumInterfaces = Entry<EnumDeviceInterfaces>(module, "SetupDiEnumDeviceInterfaces");
    api.getDetail = Entry<GetDeviceInterfaceDetailA>(module, "SetupDiGetDeviceInterfaceDetailA");
    api.destroyList = Entry<DestroyDeviceInfoList>(module, "SetupDiDestroyDeviceInfoList");
    api.loaded = api.getClassDevs && api.enumInterfaces && api.getDetail && api.destroyList;
  });
  return api;
}

HANDLE OpenForIo(const QString& path) {
  const QByteArray name = path.toLocal8Bit();
  return CreateFileA(name.constData(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

int LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return static_cast<int>(error != 0 ? error : fallback);
}

class WindowsPipe : public UsbPipeFile {
 public:
  explicit WindowsPipe(HANDLE handle) : handle_(handle) {}
  ~WindowsPipe() override { CloseHandle(handle_); }

  int Read(std::uint8_t* data, int length, int* error) override {
    DWORD done = 0;
    if (!ReadFile(handle_, data, static_cast<DWORD>(length), &done, nullptr)) {
      *error = LastErrorOr(ERROR_GEN_FAILURE);
      return -1;
    }
    return static_cast<int>(done);
  }

  int Write(const std::uint8_t* data, int length, int* error) override {
    DWORD done = 0;
    if (!WriteFile(handle_, data, static_cast<DWORD>(length), &done, nullptr)) {
      *error = LastErrorOr(ERROR_GEN_FAILURE);
      return -1;
    }
    return static_cast<int>(done);
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::optional<QStringList> WindowsUsbBackend::ListDevices(const QUuid& interfaceClass) {
  const SetupApi& api = LoadSetupApi();
  if (!api.loaded) return std::nullopt;
  const GUID guid = interfaceClass;
  HDEVINFO set = api.getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);  // 0x12
  if (set == INVALID_HANDLE_VALUE) return std::nullopt;
  QStringList paths;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!api.enumInterfaces(set, nullptr, &guid, index, &data)) break;
    DWORD required = 0;
    api.getDetail(set, &data, nullptr, 0, &required, nullptr);
    if (required == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) continue;
    // The record's size field is the size of the fixed part: 5 in a 32-bit
    // process, 8 in a 64-bit one.
    std::vector<char> buffer(std::max<size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) + 1, '\0');
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (api.getDetail(set, &data, detail, required, nullptr, nullptr))
      paths << QString::fromLocal8Bit(detail->DevicePath);
  }
  api.destroyList(set);
  return paths;
}

int WindowsUsbBackend::ReadConfigDescriptor(const QString& devicePath, DescriptorBuffer& buffer, bool* opened) {
  HANDLE device = OpenForIo(devicePath);
  *opened = device != INVALID_HANDLE_VALUE;
  if (!*opened) return LastErrorOr(ERROR_FILE_NOT_FOUND);
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(device, kIoctlGetConfigDescriptor, buffer.data(), kDescriptorBufferSize,
                                  buffer.data(), kDescriptorBufferSize, &returned, nullptr);
  const int error = ok ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
  CloseHandle(device);
  return error;
}

std::unique_ptr<UsbPipeFile> WindowsUsbBackend::OpenPipe(const QString& devicePath, int pipe, int* error) {
  HANDLE handle = OpenForIo(PipePath(devicePath, pipe));
  if (handle == INVALID_HANDLE_VALUE) {
    *error = LastErrorOr(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return std::make_unique<WindowsPipe>(handle);
}

QString WindowsUsbBackend::ErrorMessage(int code) const {
  wchar_t text[512] = {};
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(code), 0, text, static_cast<DWORD>(std::size(text)), nullptr);
  QString message = QString::fromWCharArray(text, static_cast<int>(n));
  while (message.endsWith(QLatin1Char('\n')) || message.endsWith(QLatin1Char('\r'))) message.chop(1);
  return message;
}

const int TUSBPipe::kErrorNotOpen = ERROR_INVALID_HANDLE;

UsbBackend& PlatformUsbBackend() {
  static WindowsUsbBackend backend;
  return backend;
}

}  // namespace zelvo

