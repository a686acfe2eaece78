// The version block on Windows: the executable's VERSIONINFO resource, read
// with GetFileVersionInfo as Explorer reads it.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "core/VersionResource.h"

namespace zelvo {

std::optional<QByteArray> ReadExecutableVersionBlock(const QString& path) {
  const std::wstring name = path.toStdWString();
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(name.c_str(), &handle);
  if (size == 0) return std::nullopt;
  QByteArray block(static_cast<qsizetype>(size), '\0');
  if (!::GetFileVersionInfoW(name.c_str(), 0, size, block.data())) return std::nullopt;
  // The system appends room of its own after the block; the root node's
  // length says where the block ends, and the walk checks every length.
  return FindVersionBlock(block);
}

}  // namespace zelvo
