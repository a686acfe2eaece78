#pragma once
// Resources carried inside the program, looked up by type and name.
//
// The flash loader of NG instruments is the resource of type "TEXT" named
// "tp_loader" (resources/tp_loader.bin, embedded at build time).

#include <QByteArray>
#include <optional>

namespace zelvo {

// Contents of the resource, or nothing when the program carries no such one.
std::optional<QByteArray> FindProgramResource(const char* type, const char* name);

inline constexpr const char* kLoaderResourceType = "TEXT";
inline constexpr const char* kLoaderResourceName = "tp_loader";

}  // namespace zelvo
