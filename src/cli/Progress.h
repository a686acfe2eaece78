#pragma once
// Upload progress on the command line: on a terminal a bar with percentage,
// page, elapsed time and an estimate of the time left, redrawn in place;
// otherwise one line every 10 %, up to and including 100 %.

#include <QElapsedTimer>
#include <QString>
#include <cstdio>

namespace zelvo::cli {

class ProgressPrinter {
 public:
  ProgressPrinter(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

  // fraction: how much of the image has been sent (0..1); percent: the
  // window's gauge value.
  void Update(int percent, double fraction, const QString& page, const QString& time);
  // Every page is sent: the 100 % line, once; true when this call drew it.
  bool Finish(const QString& what);
  // Ends the bar's line before other output is printed.
  void Break();

  // "m:ss" left at this pace, empty while there is no pace yet.
  static QString TimeLeft(qint64 elapsedMs, double fraction);

 private:
  std::FILE* out_;
  bool terminal_;
  bool onBarLine_ = false;
  bool finished_ = false;
  int lastDecile_ = -1;
  QElapsedTimer clock_;
};

}  // namespace zelvo::cli
