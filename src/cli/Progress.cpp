#include "cli/Progress.h"

namespace zelvo::cli {

void ProgressPrinter::Update(int percent, const QString& page, const QString& time) {
  if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    const QString bar = QString(filled, QLatin1Char('#')) + QString(kWidth - filled, QLatin1Char('.'));
    std::fprintf(out_, "\r[%s] %3d%%  %s  %s   ", qPrintable(bar), percent, qPrintable(page), qPrintable(time));
    std::fflush(out_);
    onBarLine_ = true;
    return;
  }
  const int decile = percent / 10;
  if (decile == lastDecile_) return;
  lastDecile_ = decile;
  std::fprintf(out_, "%3d%%  %s  %s\n", percent, qPrintable(page), qPrintable(time));
  std::fflush(out_);
}

void ProgressPrinter::Break() {
  if (!onBarLine_) return;
  std::fputc('\n', out_);
  onBarLine_ = false;
}

}  // namespace zelvo::cli
