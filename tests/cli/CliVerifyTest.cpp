// zelvoflash flash --verify: after the upload the instrument is waited for
// through its restart and checked, over the built-in IrDA stack and a
// pseudo-terminal (the IrCOMM port opened again). The check through a dock,
// whose upload alone takes the dock's pace, is the flash job's tests' (on the
// manual clock); here are the command's texts, exit codes and JSON.

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonObject>
#include <csignal>
#include <vector>

#include "CliSupport.h"

using namespace zelvo;
using namespace zelvo::test;

namespace {

class ZelvoflashVerify : public ZelvoflashTest {};

enum class Via { Irda, Pty };
enum class Ending { Passes, NoTake, NoRestart, Interrupted };

const char* ViaName(Via via) {
  switch (via) {
    case Via::Irda: return "irda";
    case Via::Pty: return "pty";
  }
  return "";
}

// The simulated instrument for one case: zelvo-sim on its own pty, or the
// --simulate options; and zelvoflash's transport.
struct Bench {
  std::unique_ptr<SimServer> pty;
  QStringList transport;

  Bench(Via via, Ending ending) {
    const QString fault = ending == Ending::NoTake ? "no-take" : ending == Ending::Passes ? "" : "no-restart";
    QStringList simArgs{"--version", "9.05", "--restart", "1"};
    QString setup = "version=9.05,restart=1";
    if (!fault.isEmpty()) {
      simArgs << "--" + fault;
      setup += "," + fault;
    }
    switch (via) {
      case Via::Irda: transport = QStringList{"--simulate", setup}; break;
      case Via::Pty:
        pty = std::make_unique<SimServer>(simArgs);
        transport = QStringList{"--serial", pty->Path()};
        break;
    }
  }
};

}  // namespace

// Every ending of the check over every transport, side by side: the file's
// version back, the old one back (no-take), nothing back within the limit
// (no-restart), and Ctrl-C while waiting.
TEST_F(ZelvoflashVerify, TheCheckAfterTheUploadOverEachTransport) {
  const QString firmware = Firmware(true, "9.12");
  struct Case {
    Via via;
    Ending ending;
    std::unique_ptr<Bench> bench;
    std::unique_ptr<Zelvoflash> run;
  };
  std::vector<Case> cases;
  for (Via via : {Via::Irda, Via::Pty})
    for (Ending ending : {Ending::Passes, Ending::NoTake, Ending::NoRestart, Ending::Interrupted})
      cases.push_back({via, ending, std::make_unique<Bench>(via, ending), nullptr});
  for (Case& c : cases) {
    QStringList args = QStringList{"flash", firmware} + c.bench->transport + QStringList{"--yes", "--json", "--verify"};
    if (c.ending == Ending::NoRestart) args << "--verify-timeout" << "3";
    c.run = std::make_unique<Zelvoflash>(args);
  }
  for (Case& c : cases) {
    if (c.ending != Ending::Interrupted) continue;
    SCOPED_TRACE(ViaName(c.via));
    ASSERT_TRUE(c.run->WaitForOutput("zelvoflash: waiting for the instrument to restart (up to 120 s)", 240000));
    ::kill(static_cast<pid_t>(c.run->Pid()), SIGINT);
  }
  for (Case& c : cases) {
    const RunResult r = c.run->Wait(240000);
    SCOPED_TRACE(std::string(ViaName(c.via)) + " ending " + std::to_string(static_cast<int>(c.ending)));
    const QJsonObject j = r.Json();
    const QJsonObject verify = j.value("verify").toObject();
    // The upload itself is recorded as always.
    EXPECT_EQ(j.value("pages").toInt(), 391) << r.Dump();
    EXPECT_EQ(j.value("instrument").toObject().value("version").toString(), "9.05");
    EXPECT_TRUE(r.err.contains("zelvoflash: waiting for the instrument to restart")) << r.Dump();
    if (c.via == Via::Irda) {
      EXPECT_TRUE(r.err.contains("in IrDA mode again")) << r.Dump();
    }
    switch (c.ending) {
      case Ending::Passes:
        EXPECT_EQ(r.exitCode, 0) << r.Dump();
        EXPECT_EQ(j.value("outcome").toString(), "completed");
        EXPECT_EQ(j.value("message").toString(), "flash upload completed");
        EXPECT_TRUE(verify.value("ok").toBool());
        EXPECT_EQ(verify.value("version").toString(), "9.12");
        EXPECT_EQ(verify.value("type_letter").toString(), "A");
        EXPECT_TRUE(r.err.contains("zelvoflash: the instrument came back running 9.12 A")) << r.Dump();
        EXPECT_TRUE(r.err.contains("zelvoflash: releasing the instrument (STB)")) << r.Dump();
        break;
      case Ending::NoTake:
        EXPECT_EQ(r.exitCode, 1) << r.Dump();
        EXPECT_EQ(j.value("outcome").toString(), "verify-failed");
        EXPECT_EQ(j.value("message").toString(), "the instrument came back running 9.05, the file is 9.12");
        EXPECT_TRUE(r.err.contains("the check failed: the instrument came back running 9.05, the file is 9.12"))
            << r.Dump();
        EXPECT_FALSE(verify.value("ok").toBool());
        EXPECT_EQ(verify.value("version").toString(), "9.05");
        EXPECT_EQ(verify.value("type_letter").toString(), "A");
        break;
      case Ending::NoRestart:
        EXPECT_EQ(r.exitCode, 1) << r.Dump();
        EXPECT_EQ(j.value("outcome").toString(), "verify-failed");
        EXPECT_EQ(j.value("message").toString(), "the instrument did not come back within 3 s");
        EXPECT_FALSE(verify.value("ok").toBool());
        EXPECT_TRUE(verify.value("version").isNull());
        EXPECT_TRUE(verify.value("type_letter").isNull());
        // At least the limit; how much longer depends on the machine's load.
        EXPECT_GE(verify.value("waited_s").toDouble(), 3.0);
        break;
      case Ending::Interrupted:
        EXPECT_EQ(r.exitCode, 130) << r.Dump();
        EXPECT_EQ(j.value("outcome").toString(), "interrupted");
        EXPECT_EQ(j.value("message").toString(), "the flash upload completed; the check was interrupted by Ctrl-C");
        EXPECT_FALSE(verify.value("ok").toBool());
        EXPECT_TRUE(verify.value("version").isNull());
        break;
    }
  }
}

// Without --verify the record has no "verify"; bad values of the check's
// options are usage errors.
TEST_F(ZelvoflashVerify, OptionsAndTheRecordWithoutTheCheck) {
  const QString firmware = Firmware(true, "9.12");
  const RunResult plain = RunZelvoflash({"flash", firmware, "--simulate", "version=9.05,restart=1", "--yes", "--json"});
  EXPECT_EQ(plain.exitCode, 0) << plain.Dump();
  EXPECT_FALSE(plain.Json().contains("verify")) << plain.Dump();
  EXPECT_FALSE(plain.err.contains("waiting for the instrument to restart")) << plain.Dump();
  for (const QStringList& extra : {QStringList{"--verify", "--verify-timeout", "0"},
                                   QStringList{"--verify", "--verify-timeout", "soon"},
                                   QStringList{"--verify-timeout", "10"}}) {
    const RunResult r = RunZelvoflash(QStringList{"flash", firmware, "--simulate"} + extra);
    EXPECT_EQ(r.exitCode, 2) << extra.join(' ').toStdString();
    EXPECT_TRUE(r.err.contains("--verify")) << r.Dump();
  }
  const RunResult identify = RunZelvoflash({"identify", "--simulate", "--verify"});
  EXPECT_EQ(identify.exitCode, 2) << identify.Dump();
}

// Under Qt's own event dispatcher (a Qt built without GLib) the run still ends
// once its job has: the job's end is asked for inside the link's poll, which
// then handles messages once more, and that pass used to take the loop's
// wake-up, so that zelvoflash slept on after the check's release.
TEST_F(ZelvoflashVerify, TheRunEndsUnderQtsOwnDispatcher) {
  const QString firmware = Firmware(true, "9.12");
  qputenv("QT_NO_GLIB", "1");
  Zelvoflash run({"flash", firmware, "--simulate", "version=9.05,restart=1", "--yes", "--json", "--verify"});
  qunsetenv("QT_NO_GLIB");
  const RunResult r = run.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  EXPECT_EQ(r.Json().value("outcome").toString(), "completed") << r.Dump();
  EXPECT_TRUE(r.Json().value("verify").toObject().value("ok").toBool()) << r.Dump();
}

// The file replaced while the operator reads the first question: the
// instrument gets the bytes that were read and checked before it was
// addressed, and the questions and the record name them.
TEST_F(ZelvoflashVerify, TheFileIsFlashedAsItWasRead) {
  const QString file = Firmware(true, "9.12");
  const QByteArray read = FileBytes(file);
  const QByteArray replacement = FileBytes(Firmware(true, "9.20"));
  TypingTerminal terminal;
  ASSERT_FALSE(terminal.SlavePath().isEmpty());
  Zelvoflash run({"flash", file, "--simulate", "version=9.05,restart=1", "--verify", "--json"}, terminal.SlavePath());
  ASSERT_TRUE(run.WaitForOutput("[OK/Cancel]"));
  ASSERT_EQ(files_.Write(QFileInfo(file).fileName(), replacement), file);
  terminal.Type("ok\n");
  ASSERT_TRUE(run.WaitForOutput("[Yes/No]"));
  terminal.Type("yes\n");
  ASSERT_TRUE(run.WaitForOutput("waiting for the instrument to restart", 60000));
  terminal.Type("ok\n");  // put in front of the port again
  const RunResult r = run.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  EXPECT_TRUE(r.err.contains("Upgrade To Version 9.12")) << r.Dump();
  const QJsonObject j = r.Json();
  EXPECT_EQ(j.value("file").toObject().value("version").toString(), "9.12");
  EXPECT_EQ(j.value("file").toObject().value("sha256").toString(),
            QString::fromLatin1(QCryptographicHash::hash(read, QCryptographicHash::Sha256).toHex()));
  EXPECT_EQ(j.value("verify").toObject().value("version").toString(), "9.12") << r.Dump();
}
