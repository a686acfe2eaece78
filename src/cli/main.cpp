// zelvoflash: the utility's upload workflow on the command line.

#include <QCoreApplication>
#include <cstdio>

#include "cli/Commands.h"
#include "cli/Platform.h"
#include "cli/Report.h"
#include "core/VersionResource.h"

int main(int argc, char** argv) {
  zelvo::cli::KeepRunningWhenOutputCloses();
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
    zelvo::cli::PrintMessage(stderr, error);
    std::fprintf(stderr, "%s\n", zelvo::cli::kTryHelp);
    return 2;
  }
  zelvo::cli::Console console;
  console.inputTerminal = zelvo::cli::IsTerminal(stdin);
  if (options->json) console.out = stderr;  // standard output carries the JSON object alone
  console.outputTerminal = zelvo::cli::IsTerminal(console.out);
  return zelvo::cli::Run(*options, console);
}
