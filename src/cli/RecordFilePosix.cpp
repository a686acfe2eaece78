// The record file on POSIX systems: appended under an exclusive lock, synced.
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

bool LogFileFailure(const char* what, const QString& path, QString* error) {
  *error = QStringLiteral("cannot %1 the log file %2: %3")
               .arg(QLatin1String(what), path, QString::fromLocal8Bit(std::strerror(errno)));
  return false;
}

// The record file opened for appending, created when missing; -1 with error
// set when it cannot be.
int OpenRecordFile(const QString& path, QString* error) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) LogFileFailure("open", path, error);
  return fd;
}

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

}  // namespace zelvo::cli
