// What the installation carries beside the programs, against the built
// programs: each manual page's OPTIONS section names exactly the options of
// the program's --help, and the page renders without warnings; the zelvoflash
// bash completion offers exactly the options of its --help and every dock
// kind. The programs answer --help and --version without opening a window.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

#include "cli/Docks.h"
#include "dock/DockKinds.h"

namespace {

struct Output {
  int exitCode = -1;
  QString out;
  QString err;
};

// A program that never ends here (a window opened) is stopped and fails.
Output RunProgram(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  process.closeWriteChannel();
  Output run;
  if (!process.waitForFinished(120000)) {
    ADD_FAILURE() << program.toStdString() << " " << arguments.join(' ').toStdString()
                  << " did not exit: " << process.errorString().toStdString();
    process.kill();
    process.waitForFinished();
    return run;
  }
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(process.readAllStandardError());
  return run;
}

QString ReadText(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text)) << path.toStdString();
  return QString::fromUtf8(file.readAll());
}

// Options named in a text: "-x", "-word" or "--word" at the start of a word
// (after a blank or one of "[(|\"").
QSet<QString> OptionsIn(const QString& text, const QString& leader = QStringLiteral("--?")) {
  const QRegularExpression option(QStringLiteral("(?:^|[\\s\\[(|\"])(%1[A-Za-z][A-Za-z0-9-]*)").arg(leader));
  QSet<QString> found;
  for (auto match = option.globalMatch(text); match.hasNext();) found.insert(match.next().captured(1));
  return found;
}

// The OPTIONS section of a manual page's source, as plain text: minus signs
// unescaped, font changes dropped.
QString OptionsSection(const QString& roff) {
  const qsizetype from = roff.indexOf(QLatin1String("\n.SH OPTIONS\n"));
  if (from < 0) return {};
  const qsizetype to = roff.indexOf(QLatin1String("\n.SH "), from + 1);
  QString text = roff.mid(from, to < 0 ? -1 : to - from);
  text.replace(QLatin1String("\\-"), QLatin1String("-"));
  text.remove(QRegularExpression(QStringLiteral("\\\\f(?:[BIRP]|\\[[A-Za-z]*\\])")));
  return text;
}

std::string Listed(QSet<QString> options) {
  QStringList sorted(options.begin(), options.end());
  sorted.sort();
  return sorted.join(' ').toStdString();
}

struct Program {
  const char* name;
  const char* executable;
};

const Program kPrograms[] = {
    {"zelvoflash", ZELVOFLASH_EXE},
    {"zelvo-sim", ZELVO_SIM_EXE},
    {"zelvo-flash-utility", ZELVO_UTILITY_EXE},
};

QString ManPage(const Program& program) {
  return QStringLiteral(ZELVO_MAN_DIR "/%1.1").arg(QLatin1String(program.name));
}

TEST(ManPage, OptionsAreThoseOfHelp) {
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.name);
    const Output help = RunProgram(QLatin1String(program.executable), {QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
    EXPECT_TRUE(help.err.isEmpty()) << help.err.toStdString();
    const QSet<QString> inHelp = OptionsIn(help.out);
    EXPECT_TRUE(inHelp.contains(QStringLiteral("--help"))) << help.out.toStdString();

    const QSet<QString> inPage = OptionsIn(OptionsSection(ReadText(ManPage(program))));
    EXPECT_EQ(Listed(inHelp - inPage), "") << "in --help, missing from the manual page's OPTIONS";
    EXPECT_EQ(Listed(inPage - inHelp), "") << "in the manual page's OPTIONS, not in --help";
  }
}

TEST(ManPage, RendersWithoutWarnings) {
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.name);
    const Output groff = RunProgram(QStringLiteral("groff"),
                                 {QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z"), ManPage(program)});
    EXPECT_EQ(groff.exitCode, 0) << "groff (package groff-base) runs: " << groff.err.toStdString();
    EXPECT_EQ(groff.err.toStdString(), "");
  }
}

TEST(BashCompletion, OffersTheOptionsOfHelpAndEveryDockKind) {
  const QString completion = ReadText(QStringLiteral(ZELVO_COMPLETION));
  const Output help = RunProgram(QStringLiteral(ZELVOFLASH_EXE), {QStringLiteral("--help")});
  const QSet<QString> inHelp = OptionsIn(help.out, QStringLiteral("--"));
  const QSet<QString> offered = OptionsIn(completion, QStringLiteral("--"));
  EXPECT_EQ(Listed(inHelp - offered), "") << "in --help, not completed";
  EXPECT_EQ(Listed(offered - inHelp), "") << "completed, not in --help";

  QStringList kinds = zelvo::DockKindNames();
  kinds << zelvo::cli::DiscoveryKindOptions().split(QLatin1Char('|'));
  const QStringList split = completion.split(QRegularExpression(QStringLiteral("[\\s\"]+")));
  const QSet<QString> words(split.begin(), split.end());
  for (const QString& kind : kinds) EXPECT_TRUE(words.contains(kind)) << kind.toStdString() << " not completed";
}

TEST(CommandLine, VersionAndBadUsageAnswerWithoutAWindow) {
  const QString version = QStringLiteral(ZELVO_VERSION);
  struct Case {
    const char* executable;
    QStringList arguments;
    int exitCode;
    QString output;  // all of standard output for 0, a line of standard error otherwise
  } const cases[] = {
      {ZELVO_UTILITY_EXE, {"--version"}, 0, "zelvo-flash-utility " + version + "\n"},
      {ZELVO_UTILITY_EXE, {"--simulate", "--version"}, 0, "zelvo-flash-utility " + version + "\n"},
      {ZELVOFLASH_EXE, {"--version"}, 0, "zelvoflash " + version + "\n"},
      {ZELVO_SIM_EXE, {"--version"}, 0, "zelvo-sim " + version + "\n"},
      {ZELVO_UTILITY_EXE, {"--dock-controls", "--no-such-option"}, 2,
       "zelvo-flash-utility: unknown argument: --no-such-option (see zelvo-flash-utility --help)"},
      {ZELVO_SIM_EXE, {"make-firmware", "--ng", "--version", "9.12", "--size", "2000000", "-o", "/dev/null"}, 2,
       "zelvo-sim: bad value of --size: 2000000 (0 to 1048576)"},
      {ZELVO_UTILITY_EXE, {"--simulate", "via=irda", "sample.bin"}, 2,
       "zelvo-flash-utility: unknown argument: sample.bin (see zelvo-flash-utility --help)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.join(' ').toStdString());
    const Output run = RunProgram(QLatin1String(c.executable), c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
    if (c.exitCode == 0)
      EXPECT_EQ(run.out.toStdString(), c.output.toStdString());
    else
      EXPECT_TRUE(run.err.split(QLatin1Char('\n')).contains(c.output)) << run.err.toStdString();
  }
}

}  // namespace
