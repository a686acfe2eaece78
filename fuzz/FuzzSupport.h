#pragma once
// What the fuzz targets share: a reader that takes an input apart, a check that
// stops the run on a broken promise, the Qt application object, a scratch file
// for the checks that need a file, and a choice of one input in n for them.
//
// A target stays the same source in both builds (libFuzzer, and the replay
// driver of the normal build); nothing here depends on which.

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

// A failed check ends the run the way a sanitizer finding does: libFuzzer
// saves the input as a crash, the replay driver names and saves it.
#define ZELVO_FUZZ_CHECK(condition)                                                   \
  do {                                                                                \
    if (!(condition)) ::zelvo::fuzz::CheckFailed(#condition, __FILE__, __LINE__);    \
  } while (0)

namespace zelvo::fuzz {

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
  std::abort();
}

// Reads an input from the front: single bytes, length-prefixed pieces, the
// rest. Past the end every read gives zeros or empty pieces, so a target never
// has to count.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool AtEnd() const { return at_ >= size_; }
  size_t Left() const { return size_ - at_; }

  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Up to count bytes.
  QByteArray Bytes(size_t count) {
    if (count > Left()) count = Left();
    QByteArray out(reinterpret_cast<const char*>(data_ + at_), static_cast<qsizetype>(count));
    at_ += count;
    return out;
  }
  // One length byte, then up to that many bytes.
  QByteArray Piece() { return Bytes(Byte()); }
  QByteArray Rest() { return Bytes(Left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

inline QByteArray Whole(const uint8_t* data, size_t size) {
  return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// The process's Qt application object, made on first use (event loop, file
// engines, locale). Temporary files, the targets' own and those of the code
// under test, go to memory when the system has a memory file system: on a
// disk every file costs milliseconds, which would leave the fuzzer idle.
inline QCoreApplication& Application() {
  static const bool inMemory = [] {
    if (QFileInfo(QStringLiteral("/dev/shm")).isWritable()) qputenv("TMPDIR", "/dev/shm");
    return true;
  }();
  (void)inMemory;
  static int argc = 1;
  static char name[] = "zelvo-fuzz";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                              : new QCoreApplication(argc, argv);
  return *app;
}

// True for about one input in n, by the input's bytes alone (FNV-1a), so that
// the same input always takes the same path: for checks that cost too much to
// make on every input.
inline bool OneIn(unsigned n, const uint8_t* data, size_t size) {
  std::uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
  return hash % n == 0;
}

// A file in a folder of this process's own; every call writes it anew.
inline QString ScratchFile(const QString& name, const QByteArray& bytes) {
  Application();
  static QTemporaryDir dir;
  const QString path = dir.filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) CheckFailed("scratch file opens", __FILE__, __LINE__);
  file.write(bytes);
  return path;
}

}  // namespace zelvo::fuzz
