// The files the command line reads and appends to, on POSIX systems: none is
// opened in a way that can wait for good (a FIFO waits for its other end), the
// record is appended under an exclusive lock and synced.
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/Report.h"

namespace zelvo::cli {

namespace {

QString SystemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

bool FileFailure(const char* what, const char* kind, const QString& path, const QString& why, QString* error) {
  *error = QStringLiteral("cannot %1 the %2 %3: %4").arg(QLatin1String(what), QLatin1String(kind), path, why);
  return false;
}

bool LogFileFailure(const char* what, const QString& path, QString* error) {
  return FileFailure(what, "log file", path, SystemError(), error);
}

// A file (or a device such as /dev/null) opened for appending, created when
// missing; -1 with error set when it cannot be. It is opened without
// blocking; a FIFO or a socket is refused, for lines are appended to it,
// locked and taken back.
int OpenForAppending(const QString& path, const char* kind, QString* error) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    // A FIFO that nobody reads.
    FileFailure("open", kind, path, errno == ENXIO ? QStringLiteral("it is a FIFO, not a file") : SystemError(), error);
    return -1;
  }
  struct stat st = {};
  if (::fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    FileFailure("open", kind, path, S_ISSOCK(st.st_mode) ? QStringLiteral("it is a socket, not a file")
                                     : S_ISFIFO(st.st_mode) ? QStringLiteral("it is a FIFO, not a file")
                                                            : SystemError(),
                error);
    ::close(fd);
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    FileFailure("open", kind, path, SystemError(), error);
    ::close(fd);
    return -1;
  }
  return fd;
}

int OpenRecordFile(const QString& path, QString* error) { return OpenForAppending(path, "log file", error); }

}  // namespace

bool CheckRecordFile(const QString& path, QString* error) {
  const int fd = OpenRecordFile(path, error);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool AppendRecordLine(const QString& path, const QByteArray& line, QString* error) {
  const auto fail = [&](const char* what) { return LogFileFailure(what, path, error); };
  const int fd = OpenRecordFile(path, error);
  if (fd < 0) return false;
  // Several instruments may be flashed at once into one record file.
  if (::flock(fd, LOCK_EX) != 0) {
    fail("lock");
    ::close(fd);
    return false;
  }
  struct stat before = {};
  const QByteArray record = line + '\n';
  bool written = false;
  if (::fstat(fd, &before) == 0) {
    ssize_t n;
    do {
      n = ::write(fd, record.constData(), static_cast<size_t>(record.size()));
    } while (n < 0 && errno == EINTR);
    written = n == record.size() && ::fsync(fd) == 0;
    if (!written) {
      fail("write");
      // A piece of a record is worse than none: take it back.
      if (n > 0) [[maybe_unused]] const int ignored = ::ftruncate(fd, before.st_size);
    }
  } else {
    fail("examine");
  }
  ::close(fd);  // releases the lock
  return written;
}

bool OpenTraceFile(QFile& file, const QString& path, QString* error) {
  const int fd = OpenForAppending(path, "trace file", error);
  if (fd < 0) return false;
  if (file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) return true;
  ::close(fd);
  return FileFailure("open", "trace file", path, file.errorString(), error);
}

bool ReadRegularFile(const QString& path, qint64 maxBytes, QByteArray* bytes, QString* error) {
  const auto fail = [&](const QString& why) {
    *error = QStringLiteral("cannot read the firmware file %1: %2").arg(path, why);
    return false;
  };
  // Without blocking: a FIFO would wait for a writer.
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(SystemError());
  struct stat st = {};
  const bool examined = ::fstat(fd, &st) == 0;
  if (!examined || !S_ISREG(st.st_mode)) {
    const QString why = examined ? QStringLiteral("it is not a file (a FIFO, a device or a folder)") : SystemError();
    ::close(fd);
    return fail(why);
  }
  bytes->resize(maxBytes);
  qint64 got = 0;
  while (got < maxBytes) {
    const ssize_t n = ::read(fd, bytes->data() + got, static_cast<size_t>(maxBytes - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const QString why = SystemError();
      ::close(fd);
      return fail(why);
    }
    if (n == 0) break;
    got += n;
  }
  ::close(fd);
  bytes->resize(got);
  return true;
}

}  // namespace zelvo::cli
