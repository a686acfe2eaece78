// zelvoflash: the utility's upload workflow on the command line.

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "cli/Commands.h"
#include "core/VersionResource.h"

int main(int argc, char** argv) {
  // An output closed early (a pipe whose reader has gone) must not end the
  // run before the instrument is released and the record kept: writes to it
  // just fail.
  std::signal(SIGPIPE, SIG_IGN);
  QCoreApplication application(argc, argv);
  QStringList arguments = QCoreApplication::arguments();
  arguments.removeFirst();
  if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
    std::printf("%s", qPrintable(zelvo::cli::HelpText()));
    return 0;
  }
  if (arguments == QStringList{QStringLiteral("--version")}) {
    const QString version = zelvo::ExecutableFileVersion(QCoreApplication::applicationFilePath());
    std::printf("zelvoflash %s\n", version.isEmpty() ? "(no version block)" : qPrintable(version));
    return 0;
  }
  QString error;
  const auto options = zelvo::cli::ParseArguments(arguments, &error);
  if (!options) {
    std::fprintf(stderr, "zelvoflash: %s\n%s\n", qPrintable(error), zelvo::cli::kTryHelp);
    return 2;
  }
  zelvo::cli::Console console;
  console.inputTerminal = isatty(STDIN_FILENO);
  if (options->json) console.out = stderr;  // standard output carries the JSON object alone
  console.outputTerminal = isatty(fileno(console.out));
  return zelvo::cli::Run(*options, console);
}
