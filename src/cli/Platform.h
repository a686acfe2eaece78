#pragma once
// What the command line asks of the system's console and ports
// (PlatformPosix.cpp, PlatformWindows.cpp).

#include <QString>
#include <cstdio>

namespace zelvo::cli {

// The stream is a terminal (a console on Windows), not a pipe or a file.
bool IsTerminal(std::FILE* stream);

// Columns of the terminal the stream writes to; 0 when unknown.
int TerminalColumns(std::FILE* stream);

// An output closed early (a pipe whose reader has gone) must not end the run
// before the instrument is released and the record kept: writes to it just
// fail (POSIX systems ignore SIGPIPE; Windows has no such signal).
void KeepRunningWhenOutputCloses();

// Opens and closes the serial port at once; false with the system's reason
// when it cannot be, or when what opens is no serial port.
bool CheckSerialPort(const QString& path, QString* error);

}  // namespace zelvo::cli
