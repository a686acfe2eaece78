#pragma once
// Windows only: Winsock started once for the process, before the first
// socket of our own (Qt starts it for its sockets only).

namespace zelvo {

// True once Winsock 2.2 is started; safe to call again, from any thread.
bool StartWinsock();

}  // namespace zelvo
