// zelvoflash: the utility's upload workflow on the command line.

#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

#include "cli/Commands.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QStringList arguments = QCoreApplication::arguments();
  arguments.removeFirst();
  if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
    std::printf("%s", qPrintable(zelvo::cli::UsageText()));
    return 0;
  }
  QString error;
  const auto options = zelvo::cli::ParseArguments(arguments, &error);
  if (!options) {
    std::fprintf(stderr, "zelvoflash: %s\n%s", qPrintable(error), qPrintable(zelvo::cli::UsageText()));
    return 2;
  }
  zelvo::cli::Console console;
  console.terminal = isatty(STDOUT_FILENO) && isatty(STDIN_FILENO);
  return zelvo::cli::Run(*options, console);
}
