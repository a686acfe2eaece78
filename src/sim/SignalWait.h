#pragma once
// zelvo-sim's servers run until they are told to stop: SIGINT or SIGTERM on
// POSIX systems, the console's Ctrl-C or Ctrl-Break on Windows
// (SignalWaitPosix.cpp, SignalWaitWindows.cpp).

namespace zelvo::sim {

// Runs the event loop until then; false when that cannot be arranged.
bool RunUntilSignalled();

}  // namespace zelvo::sim
