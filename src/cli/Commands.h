#pragma once
// The commands of zelvoflash. Each returns the process's exit status:
// 0 success, 1 failure, 2 bad usage (or a transport not in this build).

#include <cstdio>

#include "cli/Options.h"

namespace zelvo::cli {

struct Console {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  std::FILE* in = stdin;
  bool terminal = false;  // standard output and input are terminals
};

int RunFlash(const CommandOptions& options, const Console& console);
int RunIdentify(const CommandOptions& options, const Console& console);
int RunInfo(const CommandOptions& options, const Console& console);
int RunDiscover(const CommandOptions& options, const Console& console);

int Run(const CommandOptions& options, const Console& console);

}  // namespace zelvo::cli
