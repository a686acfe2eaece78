#include "support/SocketReset.h"

#include <sys/socket.h>

namespace zelvo::test {

bool ResetOnClose(qintptr descriptor) {
  const linger abortive{1, 0};
  return ::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) == 0;
}

}  // namespace zelvo::test
