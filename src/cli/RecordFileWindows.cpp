// The record file on Windows: appended under an exclusive lock, flushed.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QDir>

#include "cli/Report.h"

namespace zelvo::cli {

namespace {

bool LogFileFailure(const char* what, const QString& path, QString* error) {
  const DWORD code = ::GetLastError();
  wchar_t* text = nullptr;
  ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  const QString why = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(code);
  if (text) ::LocalFree(text);
  *error = QStringLiteral("cannot %1 the log file %2: %3").arg(QLatin1String(what), path, why);
  return false;
}

// The record file opened for writing, created when missing;
// INVALID_HANDLE_VALUE with error set when it cannot be.
HANDLE OpenRecordFile(const QString& path, QString* error) {
  const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
  const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) LogFileFailure("open", path, error);
  return file;
}

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

}  // namespace zelvo::cli
