#include "cli/Progress.h"

#include <cmath>

namespace zelvo::cli {

QString ProgressPrinter::TimeLeft(qint64 elapsedMs, double fraction) {
  if (fraction <= 0.0 || elapsedMs <= 0) return {};
  const auto seconds = static_cast<qint64>(std::lround(elapsedMs * (1.0 - fraction) / fraction / 1000.0));
  return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void ProgressPrinter::Update(int percent, double fraction, const QString& page, const QString& time) {
  if (finished_) return;
  if (!clock_.isValid()) clock_.start();
  if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    const QString bar = QString(filled, QLatin1Char('#')) + QString(kWidth - filled, QLatin1Char('.'));
    const QString left = TimeLeft(clock_.elapsed(), fraction);
    std::fprintf(out_, "\r[%s] %3d%%  %s  %s%s   ", qPrintable(bar), percent, qPrintable(page), qPrintable(time),
                 left.isEmpty() ? "" : qPrintable(QStringLiteral("  left %1").arg(left)));
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

bool ProgressPrinter::Finish(const QString& what) {
  if (finished_) return false;
  finished_ = true;
  if (terminal_) {
    const QString bar(30, QLatin1Char('#'));
    std::fprintf(out_, "\r[%s] 100%%  %s                    \n", qPrintable(bar), qPrintable(what));
    onBarLine_ = false;
  } else {
    std::fprintf(out_, "100%%  %s\n", qPrintable(what));
  }
  std::fflush(out_);
  return true;
}

void ProgressPrinter::Break() {
  if (!onBarLine_) return;
  std::fputc('\n', out_);
  onBarLine_ = false;
}

}  // namespace zelvo::cli
