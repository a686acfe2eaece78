// The files the command line reads and appends to, on Windows: the record
// is appended under an exclusive lock, flushed.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QDir>

#include "cli/Report.h"

namespace zelvo::cli {

namespace {

QString SystemError() {
  const DWORD code = ::GetLastError();
  wchar_t* text = nullptr;
  ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  const QString why = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(code);
  if (text) ::LocalFree(text);
  return why;
}

bool FileFailure(const char* what, const char* kind, const QString& path, const QString& why, QString* error) {
  *error = QStringLiteral("cannot %1 the %2 %3: %4").arg(QLatin1String(what), QLatin1String(kind), path, why);
  return false;
}

bool LogFileFailure(const char* what, const QString& path, QString* error) {
  return FileFailure(what, "log file", path, SystemError(), error);
}

// A file (or a device such as NUL) opened for writing, created when missing;
// INVALID_HANDLE_VALUE with error set when it cannot be. A pipe is refused:
// lines are appended to it, locked and taken back.
HANDLE OpenForAppending(const QString& path, const char* kind, QString* error) {
  const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
  const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    FileFailure("open", kind, path, SystemError(), error);
    return file;
  }
  if (::GetFileType(file) == FILE_TYPE_PIPE) {
    ::CloseHandle(file);
    FileFailure("open", kind, path, QStringLiteral("it is a pipe, not a file"), error);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

HANDLE OpenRecordFile(const QString& path, QString* error) { return OpenForAppending(path, "log file", error); }

}  // namespace

bool CheckRecordFile(const QString& path, QString* error) {
  const HANDLE file = OpenRecordFile(path, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
}

bool AppendRecordLine(const QString& path, const QByteArray& line, QString* error) {
  const auto fail = [&](const char* what) { return LogFileFailure(what, path, error); };
  const HANDLE file = OpenRecordFile(path, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Several instruments may be flashed at once into one record file.
  OVERLAPPED whole = {};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    fail("lock");
    ::CloseHandle(file);
    return false;
  }
  const QByteArray record = line + '\n';
  bool written = false;
  LARGE_INTEGER end = {};
  if (::SetFilePointerEx(file, {}, &end, FILE_END)) {
    DWORD n = 0;
    written = ::WriteFile(file, record.constData(), static_cast<DWORD>(record.size()), &n, nullptr) &&
              n == static_cast<DWORD>(record.size()) && ::FlushFileBuffers(file);
    if (!written) {
      fail("write");
      // A piece of a record is worse than none: take it back.
      if (::SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) ::SetEndOfFile(file);
    }
  } else {
    fail("examine");
  }
  ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  ::CloseHandle(file);
  return written;
}

bool OpenTraceFile(QFile& file, const QString& path, QString* error) {
  const HANDLE handle = OpenForAppending(path, "trace file", error);
  if (handle == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(handle);  // a file: QFile opens it again
  file.setFileName(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Append)) return true;
  return FileFailure("open", "trace file", path, file.errorString(), error);
}

bool ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray* bytes, QString* error) {
  const auto fail = [&](const QString& why) {
    *error = QStringLiteral("cannot read the firmware file %1: %2").arg(path, why);
    return false;
  };
  const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
  const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(SystemError());
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return fail(QStringLiteral("it is not a file (a pipe or a device)"));
  }
  bytes->resize(maxBytes);
  qint64 got = 0;
  while (got < maxBytes) {
    DWORD n = 0;
    if (!::ReadFile(file, bytes->data() + got, static_cast<DWORD>(maxBytes - got), &n, nullptr)) {
      const QString why = SystemError();
      ::CloseHandle(file);
      return fail(why);
    }
    if (n == 0) break;
    got += n;
  }
  ::CloseHandle(file);
  bytes->resize(got);
  return true;
}

}  // namespace zelvo::cli
