// The version block off Windows: built into the executable's file (the build
// generates it from version.ini) and found by scanning the file.
#include <QFile>

#include "core/VersionResource.h"

namespace zelvo {

std::optional<QByteArray> ReadExecutableVersionBlock(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  // The block found is a copy of its own, so the mapping may end with the file.
  if (uchar* mapped = file.map(0, file.size()))
    return FindVersionBlock(QByteArray::fromRawData(reinterpret_cast<const char*>(mapped), file.size()));
  return FindVersionBlock(file.readAll());
}

}  // namespace zelvo
