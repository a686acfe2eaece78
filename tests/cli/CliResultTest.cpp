// zelvoflash as a service technician uses it day to day: safe answers to the
// questions that guard against a wrong image, what is happening, progress,
// machine-readable results and service records, info, list, help.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QRegularExpression>

#include "CliSupport.h"
#include "cli/Connection.h"
#include "cli/Outcome.h"

using namespace zelvo;
using namespace zelvo::test;

namespace {

class ZelvoflashResults : public ZelvoflashTest {};

QStringList Lines(const QString& text) { return text.split('\n', Qt::SkipEmptyParts); }

}  // namespace

// An older file of another type: --yes alone refuses it (no page, "STB"),
// --yes --force takes it.
TEST_F(ZelvoflashResults, GuardQuestionsNeedForce) {
  const QString older = Firmware(true, "9.05", 'B');
  SimServer refusing({"--version", "9.12", "--type", "A"});
  SimServer forced({"--version", "9.12", "--type", "A"});
  Zelvoflash yesOnly({"flash", older, "--serial", refusing.Path(), "--yes", "--json"});
  Zelvoflash yesForce({"flash", older, "--serial", forced.Path(), "--yes", "--force"});

  RunResult r = yesOnly.Wait();
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_TRUE(r.err.contains("zelvoflash: answered No without --force: The flash file type that you are loading \"B\" "
                             "is different then the instrument type! Proceed anyway?"))
      << r.Dump();
  const QJsonObject json = r.Json();
  EXPECT_EQ(json.value("outcome").toString(), "refused") << r.Dump();
  EXPECT_EQ(json.value("exit").toInt(), 1);
  EXPECT_TRUE(json.value("message").toString().startsWith("declined without --force: The flash file type"));
  EXPECT_EQ(json.value("pages").toInt(), 0);
  QString report = refusing.Stop();
  EXPECT_TRUE(report.contains("commands: ENQ WHO VFL FLV STB\n")) << report.toStdString();
  EXPECT_TRUE(report.contains("stood by: yes"));

  r = yesForce.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  EXPECT_TRUE(r.out.contains("is different then the instrument type!\nProceed anyway?\n[Yes/No] yes (--force)"));
  EXPECT_TRUE(r.out.contains("older then the existing one!\nProceed anyway?\n[Yes/No] yes (--force)"));
  EXPECT_TRUE(r.out.contains("Upgrade To Version 9.05\n[Yes/No] yes (--yes)"));
  report = forced.Stop();
  EXPECT_TRUE(report.contains("programmed: yes")) << report.toStdString();
}

// Bytes of a firmware file and of a path reach the terminal escaped: neither
// the questions nor the errors can drive it.
TEST_F(ZelvoflashResults, WhatIsShownCannotDriveTheTerminal) {
  const QString hostile = Firmware(false, "\x1b[2J", '\x9b');
  Zelvoflash questions({"flash", hostile, "--simulate", "version=7.50", "--yes", "--force"});
  Zelvoflash badPath({"flash", files_.Path("fw\x1b]0;owned\x07.bin"), "--simulate", "--yes"});
  for (Zelvoflash* run : {&questions, &badPath}) {
    const RunResult r = run->Wait();
    for (const QChar raw : {QChar(0x1b), QChar(0x07), QChar(0x9b), QChar(QChar::ReplacementCharacter)})
      EXPECT_FALSE(r.All().contains(raw)) << r.Dump();
  }
}

// The JSON object of a completed and of a failed upload, field by field; the
// same objects appended to a service record across runs; the progress lines
// on a pipe; the stages named; a hexadecimal trace.
TEST_F(ZelvoflashResults, JsonResultsServiceRecordAndProgress) {
  const QString ng = Firmware(true, "9.12");
  const QString log = files_.Path("service.jsonl");
  {
    QFile existing(log);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("{\"earlier\":true}\n");
  }
  const QString trace = files_.Path("trace.hex");
  SimServer good({"--version", "9.05"});
  SimServer nak({"--version", "9.05", "--pfm-nak"});
  Zelvoflash completedRun({"flash", ng, "--serial", good.Path(), "--yes", "--json", "--log", log, "--trace", trace,
                           "--trace-format", "hex"});
  Zelvoflash failedRun({"flash", ng, "--serial", nak.Path(), "--yes", "--json", "--log", log});

  const RunResult completed = completedRun.Wait();
  EXPECT_EQ(completed.exitCode, 0) << completed.Dump();
  ASSERT_EQ(Lines(completed.out).size(), 1) << "standard output holds the JSON object alone";
  QJsonObject j = completed.Json();
  EXPECT_EQ(j.value("command").toString(), "flash");
  EXPECT_EQ(j.value("outcome").toString(), "completed");
  EXPECT_EQ(j.value("exit").toInt(), 0);
  EXPECT_EQ(j.value("message").toString(), "flash upload completed");
  EXPECT_EQ(j.value("transport").toString(), "serial:" + good.Path());
  const QJsonObject instrument = j.value("instrument").toObject();
  EXPECT_EQ(instrument.value("kind").toInt(), 9);
  EXPECT_EQ(instrument.value("family").toString(), "ZelvoPro");
  EXPECT_EQ(instrument.value("version").toString(), "9.05");
  EXPECT_EQ(instrument.value("type_letter").toString(), "A");
  EXPECT_TRUE(instrument.value("ng").toBool());
  const QJsonObject file = j.value("file").toObject();
  EXPECT_EQ(file.value("path").toString(), ng);
  EXPECT_EQ(file.value("version").toString(), "9.12");
  EXPECT_EQ(file.value("type_letter").toString(), "A");
  EXPECT_EQ(file.value("date").toString(), "2026-01-15 10:30:00");
  EXPECT_EQ(j.value("pages").toInt(), 391);
  EXPECT_EQ(j.value("loader_chunks").toInt(), 4);
  EXPECT_GE(j.value("elapsed_s").toDouble(), 0.0);
  EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(Z|[+-]\\d\\d:\\d\\d)$")
                  .match(j.value("started").toString())
                  .hasMatch())
      << j.value("started").toString().toStdString();

  // Human text on standard error: what is happening, and progress lines every
  // 10 % up to and including 100 %.
  const QString& human = completed.err;
  EXPECT_TRUE(human.contains("zelvoflash: instrument: ZelvoPro, firmware 9.05 A\n"));
  EXPECT_TRUE(human.contains("zelvoflash: file: 9.12 A, built 2026-01-15 10:30:00\n"));
  QStringList percents;
  for (const QString& line : Lines(human))
    if (const auto m = QRegularExpression("^ *(\\d+)%").match(line); m.hasMatch()) percents << m.captured(1);
  EXPECT_EQ(percents.join(' '), "0 10 20 30 40 50 60 70 80 90 100") << human.toStdString();
  EXPECT_TRUE(human.contains("100%  391 pages sent\nzelvoflash: sending the flash loader\n"
                             "zelvoflash: sending the program command\n"))
      << human.toStdString();

  const RunResult failed = failedRun.Wait();
  EXPECT_EQ(failed.exitCode, 1) << failed.Dump();
  j = failed.Json();
  EXPECT_EQ(j.value("outcome").toString(), "program-failed") << failed.Dump();
  EXPECT_EQ(j.value("exit").toInt(), 1);
  EXPECT_EQ(j.value("message").toString(), "the instrument did not accept the program command");
  EXPECT_EQ(j.value("pages").toInt(), 391);
  EXPECT_EQ(j.value("loader_chunks").toInt(), 4);
  EXPECT_EQ(j.value("instrument").toObject().value("version").toString(), "9.05");

  // The record: the earlier line kept, one whole line per run.
  QFile record(log);
  ASSERT_TRUE(record.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = record.readAll().split('\n');
  ASSERT_EQ(lines.size(), 4);  // three lines and the empty rest after the last line end
  EXPECT_EQ(lines[0], "{\"earlier\":true}");
  QStringList outcomes;
  for (int i = 1; i <= 2; ++i) {
    QJsonParseError error;
    const QJsonObject line = QJsonDocument::fromJson(lines[i], &error).object();
    EXPECT_EQ(error.error, QJsonParseError::NoError) << lines[i].toStdString();
    outcomes << line.value("outcome").toString();
  }
  outcomes.sort();
  EXPECT_EQ(outcomes.join(' '), "completed program-failed");
  EXPECT_TRUE(lines[3].isEmpty());

  // The hexadecimal trace: one message a line, whatever it holds.
  QFile hex(trace);
  ASSERT_TRUE(hex.open(QIODevice::ReadOnly));
  const QList<QByteArray> traceLines = hex.readAll().trimmed().split('\n');
  EXPECT_EQ(traceLines.first(), "SND#E6 45 4E 51 E7#");
  const QRegularExpression hexLine("^(SND|RCV)#[0-9A-F]{2}( [0-9A-F]{2})*#$");
  for (const QByteArray& line : traceLines) EXPECT_TRUE(hexLine.match(QString::fromLatin1(line)).hasMatch()) << line.toStdString();
  EXPECT_EQ(traceLines.size(), 2 * (4 + 391 + 4 + 1));  // ENQ WHO VFL FLV, pages, loader, PFM; each answered
}

// The summary, the exit status and the record's outcome follow from the
// session's result alone: the run's values, never the words it showed. A
// refusal names the ending while its release is still under way.
TEST(ZelvoflashEndings, FollowFromTheSessionsResult) {
  const QString question = QStringLiteral(
      "The flash file type that you are loading \"B\" is different then the instrument type!\rProceed anyway?");
  const QString declined = QStringLiteral(
      "declined without --force: The flash file type that you are loading \"B\" is different then the instrument type! "
      "Proceed anyway?");
  struct Case {
    UploadOutcome outcome;
    RunRefusal refusal;
    const char* recorded;
    int exitCode;
    QString message;
  };
  const Case cases[] = {
      {UploadOutcome::Completed, RunRefusal::None, "completed", 0, "flash upload completed"},
      {UploadOutcome::ProgramFailed, RunRefusal::None, "program-failed", 1,
       "the instrument did not accept the program command"},
      {UploadOutcome::UnexpectedDisconnect, RunRefusal::None, "disconnected", 1, "the link was lost during the upload"},
      {UploadOutcome::Closed, RunRefusal::None, "disconnected", 1, "the connection closed before the upload"},
      {UploadOutcome::TimedOut, RunRefusal::None, "timeout", 1, "the instrument did not come up in time"},
      {UploadOutcome::LinkFailed, RunRefusal::None, "error", 1, "the link could not be opened"},
      {UploadOutcome::None, RunRefusal::LtdNotOverInfrared, "refused", 1, upload_text::kLtdNotSupported},
      {UploadOutcome::Refused, RunRefusal::VersionTooOld, "refused", 1, upload_text::VersionNotSupported("0.4")},
      {UploadOutcome::Refused, RunRefusal::FileNotValid, "refused", 1,
       "This is not a valid flash file for ZelvoPro NG!"},
      {UploadOutcome::None, RunRefusal::TypeDeclined, "refused", 1, declined},
      {UploadOutcome::Refused, RunRefusal::OlderVersionDeclined, "refused", 1, declined},
      {UploadOutcome::Cancelled, RunRefusal::EraseDeclined, "cancelled", 1, "cancelled by the operator"},
      {UploadOutcome::None, RunRefusal::NoFileChosen, "cancelled", 1, "cancelled by the operator"},
      {UploadOutcome::Cancelled, RunRefusal::UpgradeDeclined, "cancelled", 1, "cancelled by the operator"},
  };
  for (const Case& c : cases) {
    UploadResult result;
    result.outcome = c.outcome;
    result.refusal = c.refusal;
    result.identified = true;
    result.instrument = {true, 9, "0.4", "A"};
    const cli::RunEnding ending = cli::EndingOf(result, question);
    SCOPED_TRACE(c.message.toStdString());
    EXPECT_STREQ(cli::OutcomeName(ending.outcome), c.recorded);
    EXPECT_EQ(cli::ExitCodeOf(ending.outcome), c.exitCode);
    EXPECT_EQ(ending.message, c.message);
  }
}

// info tells the layout from the size, escapes what is not printable and
// names the instruments the file is for.
TEST_F(ZelvoflashResults, InfoTellsTheLayoutFromTheSize) {
  Zelvoflash ngInfo({"info", Firmware(true, "9.12", 'D')});
  const QString classic = Firmware(false, "7.62", 'P');
  {
    QFile patch(classic);
    ASSERT_TRUE(patch.open(QIODevice::ReadWrite));
    patch.seek(32196 + 4);  // a control byte inside the build date
    patch.write("\x01");
  }
  Zelvoflash classicInfo({"info", classic, "--json"});
  QFile wrong(files_.Path("wrong.bin"));
  ASSERT_TRUE(wrong.open(QIODevice::WriteOnly));
  wrong.write(QByteArray(40000, '\0'));
  wrong.close();
  Zelvoflash wrongInfo({"info", wrong.fileName()});
  Zelvoflash forced({"info", classic, "--ng"});

  RunResult r = ngInfo.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  EXPECT_TRUE(r.out.contains("layout: NG (49154 bytes)\nversion: 9.12\ntype: \"D\"\ndate: 2026-01-15 10:30:00\n"));
  EXPECT_TRUE(r.out.contains("for: ZelvoPro NG and ZelvoLTD NG (instrument firmware 9.0 and above)"));
  r = classicInfo.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  const QJsonObject j = r.Json();
  EXPECT_EQ(j.value("layout").toString(), "classic");
  EXPECT_EQ(j.value("version").toString(), "7.62");
  EXPECT_EQ(j.value("type_letter").toString(), "P");
  EXPECT_EQ(j.value("date").toString(), "2026\\x0101-15 10:30:00");
  EXPECT_TRUE(j.value("instruments").toString().contains("ZelvoLTD (BP)"));
  EXPECT_TRUE(r.err.contains("date: 2026\\x0101-15 10:30:00\n")) << r.Dump();
  r = wrongInfo.Wait();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("is 40000 bytes, which fits neither firmware layout")) << r.Dump();
  r = forced.Wait();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("is not a valid NG firmware file (32258 bytes, 49154 expected)")) << r.Dump();
}

// list on a machine without docks or IrDA: every section says what there is,
// or why there is none.
TEST_F(ZelvoflashResults, ListShowsWhatCanBeUsed) {
  Zelvoflash human({"list"});
  const RunResult json = Zelvoflash({"list", "--json"}).Wait();
  const RunResult r = human.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  for (const char* section : {"serial:\n", "irda:\n", "ircomm:\n", "usb-dock:\n"})
    EXPECT_TRUE(r.out.contains(section)) << section << r.Dump();
  EXPECT_EQ(json.exitCode, 0);
  const QJsonArray transports = json.Json().value("transports").toArray();
  QStringList sections;
  for (const QJsonValue& entry : transports) {
    sections << entry.toObject().value("section").toString();
    EXPECT_FALSE(entry.toObject().value("description").toString().isEmpty());
  }
  EXPECT_TRUE(sections.contains("usb-dock"));
  EXPECT_TRUE(sections.contains("irda"));
  if (!QFile::exists("/dev/bus/usb")) {
    EXPECT_TRUE(r.out.contains("no Kova Express dock on the USB bus") ||
                r.out.contains("USB device enumeration unavailable"))
        << r.Dump();
  }
}

TEST_F(ZelvoflashResults, HelpVersionAndUsageErrors) {
  RunResult r = RunZelvoflash({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* text : {"zelvoflash flash FIRMWARE", "zelvoflash list", "--serial PORT", "--simulate [OPTIONS]",
                           "--force", "--json", "--log FILE", "--trace-format F", "exit status:"})
    EXPECT_TRUE(r.out.contains(text)) << text;
  EXPECT_TRUE(r.out.contains("(not in this build)") || !r.out.contains("--dock-usb [N]       N-th Kova Express dock on the USB bus (default 1)\n  --simulate"));

  r = RunZelvoflash({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "zelvoflash 8.2.1.1234\n");

  r = RunZelvoflash({"frobnicate"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err, "zelvoflash: unknown command: frobnicate\ntry 'zelvoflash --help'\n");
  EXPECT_TRUE(r.out.isEmpty());

  r = RunZelvoflash({"flash", "x.bin", "--simulate", "kind=abc"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(r.err.startsWith("zelvoflash: --simulate: ")) << r.Dump();
  EXPECT_TRUE(r.err.contains("kind=abc")) << r.Dump();
  EXPECT_EQ(Lines(r.err).size(), 2);

  r = RunZelvoflash({"flash", "x.bin", "--trace-format", "octal"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(r.err.contains("--trace-format takes raw or hex, not octal"));
}

// On a terminal the bar is redrawn in place with the time left; a record that
// cannot be written is said, and changes nothing of the upload's result.
TEST_F(ZelvoflashResults, BarOnATerminalAndAnUnwritableRecord) {
  TypingTerminal terminal;  // here the program's standard output
  ASSERT_FALSE(terminal.SlavePath().isEmpty());
  QProcess process;
  process.setStandardOutputFile(terminal.SlavePath());
  process.start(kZelvoflash, {"flash", Firmware(true, "9.12"), "--simulate", "version=9.05,delay=2", "--yes", "--log",
                              "/dev/full"});
  process.closeWriteChannel();
  QByteArray written;  // read as it comes: a full terminal would hold the program up
  QElapsedTimer clock;
  clock.start();
  while (!process.waitForFinished(50) && clock.elapsed() < 60000) written += terminal.ReadAll();
  written += terminal.ReadAll();
  ASSERT_EQ(process.state(), QProcess::NotRunning);
  EXPECT_EQ(process.exitCode(), 1) << "the upload completed, its service record is lost";
  const QString err = QString::fromLocal8Bit(process.readAllStandardError());
  EXPECT_TRUE(err.contains("cannot write the log file /dev/full: No space left on device")) << err.toStdString();
  EXPECT_EQ(err.count("/dev/full"), 1) << err.toStdString();
  const QString shown = QString::fromLocal8Bit(written);
  EXPECT_TRUE(QRegularExpression("\\r\\[#*\\.*\\] +\\d+%  Sending PAGE \\d+  Time: \\d:\\d\\d  left \\d+:\\d\\d")
                  .match(shown)
                  .hasMatch())
      << shown.toStdString();
  EXPECT_TRUE(shown.contains("\r[" + QString(30, '#') + "] 100%  391 pages sent")) << shown.toStdString();
}

// A trace that cannot be written (a full disk) fails a run that would have
// succeeded, once the instrument is done with; the record says so.
TEST_F(ZelvoflashResults, AnUnwritableTraceFailsTheRun) {
  const QString log = files_.Path("service.jsonl");
  const RunResult r = RunZelvoflash(
      {"flash", Firmware(true, "9.12"), "--simulate", "version=9.05", "--yes", "--json", "--log", log, "--trace", "/dev/full"});
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_EQ(r.err.count("cannot write the trace file /dev/full: No space left on device"), 1) << r.Dump();
  EXPECT_EQ(r.Json().value("outcome").toString(), "completed") << r.Dump();
  EXPECT_EQ(r.Json().value("exit").toInt(), 1) << r.Dump();
  EXPECT_TRUE(FileBytes(log).contains("\"exit\":1")) << "the record is kept";
}

// A peer flooding the link cannot fill the disk: one instrument's run writes
// up to the cap, then one line saying so; the next instrument's run is traced
// again.
TEST_F(ZelvoflashResults, ATraceKeepsToItsCapPerRun) {
  const QString path = files_.Path("flood.trace");
  cli::TraceFile trace;
  QString error;
  ASSERT_TRUE(trace.Open(path, cli::TraceFormat::Raw, &error)) << error.toStdString();
  const QByteArray block(64 * 1024, 'x');
  int capsSaid = 0;
  for (int i = 0; i < 2 * cli::TraceFile::kRunCapBytes / block.size(); ++i) capsSaid += trace.Write(false, block);
  EXPECT_EQ(capsSaid, 1);
  const QByteArray capped = FileBytes(path);
  EXPECT_LE(capped.size(), cli::TraceFile::kRunCapBytes + 100);
  EXPECT_TRUE(capped.endsWith(
      "#\n# the trace of this run reached its cap of 16 MiB; its later messages are not written\n"));

  trace.StartRun();
  EXPECT_FALSE(trace.Write(true, "STB"));
  EXPECT_TRUE(FileBytes(path).endsWith("not written\nSND#STB#\n"));
  EXPECT_TRUE(trace.Lost().isEmpty());
}
