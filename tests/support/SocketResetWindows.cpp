#include "support/SocketReset.h"

#include <winsock2.h>

namespace zelvo::test {

bool ResetOnClose(qintptr descriptor) {
  const linger abortive{1, 0};
  return ::setsockopt(static_cast<SOCKET>(descriptor), SOL_SOCKET, SO_LINGER,
                      reinterpret_cast<const char*>(&abortive), sizeof abortive) == 0;
}

}  // namespace zelvo::test
