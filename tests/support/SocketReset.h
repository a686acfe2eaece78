#pragma once
// A connected TCP socket set to end with a reset when it is closed (linger on,
// time 0), as a peer that aborts does (SocketResetPosix.cpp,
// SocketResetWindows.cpp).

#include <QtGlobal>

namespace zelvo::test {

// False when the option could not be set.
bool ResetOnClose(qintptr descriptor);

}  // namespace zelvo::test
