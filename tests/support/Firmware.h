#pragma once
// Sample firmware files written into a temporary folder for one test.

#include <QFile>
#include <QTemporaryDir>

#include "sim/FirmwareMaker.h"

namespace zelvo::test {

class FirmwareFiles {
 public:
  // A new file of the given layout, version and type letter.
  QString Make(bool ng, const QByteArray& version, char type = 'A') {
    sim::FirmwareRecipe recipe;
    recipe.ng = ng;
    recipe.version = version;
    recipe.type = type;
    const QString path = dir_.filePath(QStringLiteral("fw%1.bin").arg(++count_));
    if (!sim::WriteFirmware(path, recipe)) return {};
    return path;
  }
  QString Path(const QString& name) const { return dir_.filePath(name); }
  // A file of these bytes.
  QString Write(const QString& name, const QByteArray& bytes) {
    QFile file(Path(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) return {};
    return file.fileName();
  }

 private:
  QTemporaryDir dir_;
  int count_ = 0;
};

// A file's bytes (none when it cannot be read).
inline QByteArray FileBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace zelvo::test
