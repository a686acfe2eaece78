#pragma once
// The commands of zelvoflash. Each returns the process's exit status:
// 0 success, 1 failure, 2 bad usage,
// 130 interrupted by Ctrl-C, SIGTERM or SIGHUP.

#include <cstdio>

#include "cli/Options.h"

namespace zelvo::cli {

struct Console {
  std::FILE* out = stdout;     // human text (standard error with --json)
  std::FILE* err = stderr;
  std::FILE* in = stdin;
  std::FILE* result = stdout;  // the --json object
  bool inputTerminal = false;  // standard input is a terminal: questions are asked
  bool outputTerminal = false; // out is a terminal: the progress bar is drawn in place
};

int RunFlash(const CommandOptions& options, const Console& console);
int RunFleet(const CommandOptions& options, const Console& console);
int RunIdentify(const CommandOptions& options, const Console& console);
int RunInfo(const CommandOptions& options, const Console& console);
int RunList(const CommandOptions& options, const Console& console);
int RunDiscover(const CommandOptions& options, const Console& console);

int Run(const CommandOptions& options, const Console& console);

}  // namespace zelvo::cli
