#include "net/Winsock.h"

#include <winsock2.h>

namespace zelvo {

bool StartWinsock() {
  // Never cleaned up: the process ends with it.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

}  // namespace zelvo
