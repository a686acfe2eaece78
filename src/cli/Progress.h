#pragma once
// Upload progress on the command line: a bar with percentage, page and
// elapsed time redrawn in place on a terminal; otherwise one line every 10 %.

#include <QString>
#include <cstdio>

namespace zelvo::cli {

class ProgressPrinter {
 public:
  ProgressPrinter(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

  void Update(int percent, const QString& page, const QString& time);
  // Ends the bar's line before other output is printed.
  void Break();

 private:
  std::FILE* out_;
  bool terminal_;
  bool onBarLine_ = false;
  int lastDecile_ = -1;
};

}  // namespace zelvo::cli
