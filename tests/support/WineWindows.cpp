#include "support/Wine.h"

#include <windows.h>

namespace zelvo::test {

bool UnderWine() {
  // Wine's ntdll exports its version; Windows' does not.
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace zelvo::test
