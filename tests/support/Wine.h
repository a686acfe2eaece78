#pragma once
// Where Wine, which runs the Windows build's tests here, behaves otherwise
// than Windows does (WinePosix.cpp, WineWindows.cpp).

namespace zelvo::test {

// True when the test runs under Wine.
bool UnderWine();

}  // namespace zelvo::test
