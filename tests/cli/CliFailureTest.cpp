// zelvoflash when things go wrong: interrupted uploads, transports that cannot
// be used, firmware that cannot be, identification that never completes.

#include <gtest/gtest.h>

#include <QFileSystemWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <memory>
#include <vector>

#include "CliSupport.h"
#include "core/MessagePump.h"

using namespace zelvo;
using namespace zelvo::test;

namespace {

class ZelvoflashFailures : public ZelvoflashTest {
 protected:
  // The run's trace (--trace, hexadecimal), read as zelvoflash writes it: a
  // line a message, each flushed at once.
  QStringList TraceOptions() {
    trace_ = files_.Path(QStringLiteral("trace.log"));
    QFile(trace_).open(QIODevice::WriteOnly);  // there to be watched
    watcher_.addPath(trace_);
    return {"--trace", trace_, "--trace-format", "hex"};
  }
  // Until n messages with the command (its letters after the frame byte)
  // were sent; n messages of any kind for an empty command.
  bool WaitUntilSent(const QByteArray& command, int n) {
    const QByteArray line = "\nSND#E6 " + command.toHex(' ').toUpper();
    return WaitUntil([&] { return ('\n' + FileBytes(trace_)).count(line) >= n; }, 60000);
  }

  QString trace_;
  QFileSystemWatcher watcher_;  // wakes the waits
};

}  // namespace

// Ctrl-C, SIGTERM or SIGHUP (the terminal closed) in the middle of the
// pages: "STB", "ACKBYE", exit 130.
TEST_F(ZelvoflashFailures, InterruptedUploadReleasesTheInstrument) {
  const QString ng = Firmware(true, "9.12");
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SimServer sim({"--version", "9.05", "--delay", "5"});
    Zelvoflash run({"flash", ng, "--serial", sim.Path(), "--yes"});
    ASSERT_TRUE(run.WaitForOutput(" 10%")) << signal;
    ::kill(static_cast<pid_t>(run.Pid()), signal);
    const RunResult r = run.Wait(20000);
    EXPECT_EQ(r.exitCode, 130) << r.Dump();
    EXPECT_TRUE(r.err.contains(QStringLiteral("interrupted by %1").arg(signal == SIGINT    ? "Ctrl-C"
                                                                      : signal == SIGTERM ? "SIGTERM"
                                                                                          : "SIGHUP")))
        << r.Dump();
    EXPECT_TRUE(r.err.contains("the instrument was released")) << r.Dump();
    const QString report = sim.Stop();
    EXPECT_TRUE(report.contains("programmed: no, stood by: yes")) << report.toStdString();
    EXPECT_TRUE(report.contains("WEP STB")) << report.toStdString();
  }
}

// Standard output closed by its reader after the first question: the run
// goes on, the instrument is written and the record kept.
TEST_F(ZelvoflashFailures, AClosedOutputDoesNotEndTheRun) {
  const QString fifo = files_.Path("out.fifo");
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  TypingTerminal terminal;
  ASSERT_FALSE(terminal.SlavePath().isEmpty());
  const QString record = files_.Path("record.jsonl");
  QProcess run;
  run.setStandardInputFile(terminal.SlavePath());
  run.setStandardOutputFile(fifo);
  // Started as a shell starts it: this process ignores SIGPIPE, which the
  // program would inherit.
  run.setChildProcessModifier([] { ::signal(SIGPIPE, SIG_DFL); });
  run.start(kZelvoflash, {"flash", Firmware(true, "9.12"), "--simulate", "version=9.05", "--log", record});
  QByteArray shown;
  pollfd wait{reader, POLLIN, 0};
  while (!shown.contains("[OK/Cancel]") && ::poll(&wait, 1, 60000) > 0) {
    char buffer[4096];
    const ssize_t n = ::read(reader, buffer, sizeof buffer);
    if (n <= 0) break;
    shown.append(buffer, n);
  }
  ASSERT_TRUE(shown.contains("[OK/Cancel]")) << shown.toStdString();
  ::close(reader);  // what the program writes from now on has no reader
  terminal.Type("ok\nyes\n");
  ASSERT_TRUE(run.waitForFinished(120000));
  EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
  const QJsonObject j = QJsonDocument::fromJson(FileBytes(record)).object();
  EXPECT_EQ(j.value("outcome").toString(), "completed") << FileBytes(record).toStdString();
}

// An instrument gone silent holds an interrupted run a few seconds at most.
TEST_F(ZelvoflashFailures, InterruptWaitsOnlyAFewSecondsForTheRelease) {
  SimServer sim({"--version", "9.05", "--silent-at", "20"});
  Zelvoflash run(QStringList{"flash", Firmware(true, "9.12"), "--serial", sim.Path(), "--yes", "--json"} +
                 TraceOptions());
  ASSERT_TRUE(WaitUntilSent("WEP", 21));  // the page the instrument falls silent at
  ::kill(static_cast<pid_t>(run.Pid()), SIGINT);
  // The release waits 3 s; the bound only catches one that never ends.
  const RunResult r = run.Wait(20000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_TRUE(r.err.contains("the instrument did not answer the release")) << r.Dump();
  const QJsonObject json = r.Json();
  EXPECT_EQ(json.value("outcome").toString(), "interrupted") << r.Dump();
  EXPECT_EQ(json.value("exit").toInt(), 130);
  EXPECT_EQ(json.value("pages").toInt(), 21);
}

// Transports that cannot be used fail at once with the system's reason,
// before any identification time-out.
TEST_F(ZelvoflashFailures, UnusableTransportFailsAtOnce) {
  const QString ng = Firmware(true, "9.12");
  struct Case {
    QStringList args;
    const char* expect;
  } const cases[] = {
      {{"flash", ng, "--serial", "/dev/zelvo-no-such-port", "--yes"},
       "cannot open the serial port /dev/zelvo-no-such-port: No such file or directory"},
      {{"identify", "--serial", "/"}, "cannot open the serial port /: Is a directory"},
      // Opens, but is no terminal: the link could never come up on it.
      {{"flash", ng, "--serial", "/dev/null", "--yes"}, "cannot open the serial port /dev/null: not a serial port"},
  };
  std::vector<std::unique_ptr<Zelvoflash>> runs;  // side by side: each must end well within the time-out
  for (const Case& c : cases)
    runs.push_back(std::make_unique<Zelvoflash>(c.args + QStringList{"--identify-timeout", "60"}));
  for (size_t i = 0; i < runs.size(); ++i) {
    const RunResult r = runs[i]->Wait(10000);
    EXPECT_EQ(r.exitCode, 1) << r.Dump();
    EXPECT_TRUE(r.err.contains(cases[i].expect)) << r.Dump();
    EXPECT_EQ(Count(r.All(), "cannot open the serial port"), 1) << r.Dump();
    EXPECT_FALSE(r.out.contains("Datalogger")) << "nothing is asked before the transport is known to work";
  }

  if (QFile::exists("/etc/zelvoflash/registry.ini") || ::access("/proc/net/irda", F_OK) == 0) {
    GTEST_SKIP() << "this machine has an IrCOMM mirror or an IrDA stack: the no-transport case does not apply";
  }
  const RunResult r = RunZelvoflash({"flash", ng, "--yes", "--identify-timeout", "60"}, 10000);
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_TRUE(r.err.contains("no IrDA stack on this system (10047")) << r.Dump();
  EXPECT_TRUE(r.err.contains("no IrCOMM virtual port in the registry mirror")) << r.Dump();
}

// A firmware file that cannot be read, is not a file, or fits neither
// layout, is refused before the instrument is addressed.
TEST_F(ZelvoflashFailures, BadFirmwareFailsBeforeTheInstrumentIsAddressed) {
  QFile wrong(files_.Path("wrong-size.bin"));
  ASSERT_TRUE(wrong.open(QIODevice::WriteOnly));
  wrong.write(QByteArray(40000, '\xFF'));
  wrong.close();
  const QString fifo = files_.Path("firmware.fifo");  // nobody ever writes to it
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  struct Case {
    QString file;
    const char* expect;
  } const cases[] = {
      {files_.Path("missing.bin"), "cannot read the firmware file"},
      {files_.Path("wrong-size.bin"), "is 40000 bytes, which fits neither firmware layout"},
      {files_.Path(""), "cannot read the firmware file"},  // a directory
      {fifo, "it is not a file"},
  };
  for (const Case& c : cases) {
    SimServer sim({"--version", "9.05"});
    const RunResult r = RunZelvoflash({"flash", c.file, "--serial", sim.Path(), "--yes"}, 10000);
    EXPECT_EQ(r.exitCode, 1) << c.expect << r.Dump();
    EXPECT_TRUE(r.err.contains(c.expect)) << r.Dump();
    EXPECT_TRUE(sim.Stop().contains("commands: \n")) << c.expect;  // nothing was sent
  }
}

// A service record or trace file that cannot be written is refused before the
// instrument is addressed: an upload whose record is lost would go unnoticed.
TEST_F(ZelvoflashFailures, UnwritableRecordOrTraceFailsBeforeTheInstrumentIsAddressed) {
  const QString ng = Firmware(true, "9.12");
  const QString directory = files_.Path("");
  const QString noFolder = files_.Path("no-such-folder/record.log");
  const QString fifo = files_.Path("record.fifo");  // nobody ever reads it
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  struct Case {
    QString option;
    QString path;
  } const cases[] = {{"--log", directory}, {"--log", noFolder}, {"--trace", directory}, {"--log", fifo}, {"--trace", fifo}};
  for (const Case& c : cases) {
    SimServer sim({"--version", "9.05"});
    const RunResult r = RunZelvoflash({"flash", ng, "--serial", sim.Path(), "--yes", c.option, c.path}, 20000);
    const std::string name = (c.option + ' ' + c.path).toStdString();
    EXPECT_EQ(r.exitCode, 2) << name << r.Dump();
    EXPECT_TRUE(r.err.contains(c.path)) << name << r.Dump();
    EXPECT_TRUE(sim.Stop().contains("commands: \n")) << name;  // nothing was sent
  }
  EXPECT_FALSE(QFile::exists(noFolder));
}

// A silent instrument ends the run with the identification limit's text (how
// soon after the link came up is the flash job's tests').
TEST_F(ZelvoflashFailures, ASilentInstrumentEndsTheRunAtTheIdentifyTimeout) {
  SimServer sim({"--silent"});
  const RunResult r =
      RunZelvoflash({"flash", Firmware(true, "9.12"), "--serial", sim.Path(), "--yes", "--identify-timeout", "2"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("identification did not complete within 2 s")) << r.Dump();
}

// The instrument's "Error sending Flash" reaches the operator once.
TEST_F(ZelvoflashFailures, ErrorSendingFlashIsPrintedOnce) {
  SimServer sim({"--version", "9.05", "--wrong-ack-at", "5"});
  const RunResult r = RunZelvoflash({"flash", Firmware(true, "9.12"), "--serial", sim.Path(), "--yes"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Count(r.All(), "Error sending Flash"), 1) << r.Dump();
  EXPECT_TRUE(r.err.contains("the instrument acknowledged another page")) << r.Dump();
  EXPECT_TRUE(sim.Stop().contains("stood by: yes"));
}
