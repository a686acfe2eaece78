// zelvoflash through docking stations: the simulated docks of --simulate
// (on the simulated USB bus, and on loopback TCP), zelvo-sim serve-dock on a
// loopback address with --dock-net, and docks that cannot be used.

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonObject>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

#include "CliSupport.h"
#include "cli/Transport.h"
#include "support/ScriptedDialogs.h"
#include "session/UploadSession.h"
#include "sim/dock/SimUsbDock.h"
#include "sim/usb/SimUsbBackend.h"
#include "support/ProcessSignals.h"
#include "support/ProcessUsage.h"

using namespace zelvo;
using namespace zelvo::test;

namespace {

constexpr const char* kSlaveModeRefused = "SLV Error - Dock did not accept slave mode!";
constexpr const char* kPlaceInDock =
    "Please Click OK and Place the Instrument in the Kova Express dock with \"Insert Instr To FLASH\". on LCD.";

class ZelvoflashDocks : public ZelvoflashTest {};

}  // namespace

// zelvo-sim serve-dock on a loopback address, zelvoflash --dock-net to it,
// the questions answered on a terminal.
TEST_F(ZelvoflashDocks, ServeDockAndDockNet) {
  DockServer dock({"--version", "9.05", "--name", "KovaExpress Bench 3"});
  ASSERT_FALSE(dock.Address().isEmpty());
  EXPECT_EQ(dock.Line(), dock.Address() + " 5000 5001");
  TypingTerminal terminal;
  const QString file = Firmware(true, "9.12");
  Zelvoflash run({"flash", file, "--dock-net", dock.Address(), "--json"}, terminal.SlavePath());
  ASSERT_TRUE(run.WaitForOutput("[OK/Cancel]"));
  terminal.Type("ok\n");
  ASSERT_TRUE(run.WaitForOutput("Upgrade To Version 9.12"));
  terminal.Type("yes\n");
  const RunResult r = run.Wait(180000);
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  const QJsonObject j = r.Json();
  EXPECT_EQ(j.value("outcome").toString(), "completed") << r.Dump();
  EXPECT_EQ(j.value("transport").toString(), "dock-net:" + dock.Address());
  EXPECT_EQ(j.value("pages").toInt(), 391);
  const QString report = dock.Stop();
  EXPECT_TRUE(report.contains("391 pages (0 sum errors), 4 loader chunks, programmed: yes")) << report.toStdString();
  // The instrument holds the file, byte for byte.
  const QByteArray image = FileBytes(file);
  const QString digest = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
  EXPECT_TRUE(report.contains(QStringLiteral("rebuilt image: %1 bytes, sha256 %2\n").arg(image.size()).arg(digest)))
      << report.toStdString();
  // Slave mode, the LCD prompts, "PSS" 0 0 once online, the release after
  // "ACKBYE", the result on the LCD.
  EXPECT_TRUE(report.contains("dock commands: LCD2Insert Instr     LCD3   To Flash      SLV PSS\\x00\\x00 "
                              "LCD2Loading Instr    LCD3FLASH            DSC "))
      << report.toStdString();
  EXPECT_TRUE(report.contains("LCD0 FLASH Upload    LCD1   Completed    \n")) << report.toStdString();
}

// A dock that stays busy: the link's slave-mode tries run out and the run
// fails with the link's text, at once and never as completed, over TCP and
// over USB.
TEST_F(ZelvoflashDocks, BusyDockFailsWithTheSlaveModeMessage) {
  const QString ng = Firmware(true, "9.12");
  DockServer dock({"--version", "9.05", "--busy", "100"});
  ASSERT_FALSE(dock.Address().isEmpty());
  Zelvoflash overTcp({"flash", ng, "--dock-net", dock.Address(), "--yes", "--json"});
  Zelvoflash overUsb({"flash", ng, "--simulate", "via=usb-dock,version=9.05,busy=100", "--yes", "--json"});
  for (Zelvoflash* run : {&overTcp, &overUsb}) {
    const RunResult r = run->Wait();
    EXPECT_EQ(r.exitCode, 1) << r.Dump();
    EXPECT_TRUE(r.err.contains(QStringLiteral("zelvoflash: flash upload failed: ") + kSlaveModeRefused)) << r.Dump();
    EXPECT_FALSE(r.err.contains("upload completed")) << r.Dump();
    const QJsonObject j = r.Json();
    EXPECT_EQ(j.value("outcome").toString(), "error") << r.Dump();
    EXPECT_EQ(j.value("message").toString(), kSlaveModeRefused);
    EXPECT_EQ(j.value("pages").toInt(), 0);
    EXPECT_TRUE(j.value("instrument").isNull());
  }
  const QString report = dock.Stop();
  EXPECT_TRUE(report.contains("dock commands: LCD2Insert Instr     LCD3   To Flash      " +
                              QStringList(20, "SLV").join(' ') + " DSC\n"))
      << report.toStdString();
  EXPECT_TRUE(report.contains("commands: \n")) << "the instrument was never addressed: " << report.toStdString();
}

// An empty dock: the instrument is waited for the identification time
// (--identify-timeout), not the window's 30 s.
TEST_F(ZelvoflashDocks, AnEmptyDockIsWaitedForTheIdentificationTime) {
  Zelvoflash run({"flash", Firmware(true, "9.12"), "--simulate", "via=usb-dock,version=9.05,empty-dock", "--yes",
                  "--identify-timeout", "2", "--json"});
  const RunResult r = run.Wait(25000);
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_EQ(r.Json().value("outcome").toString(), "timeout") << r.Dump();
}

// The instrument taken out of the dock at a page: the link goes down, the
// upload ends as a disconnect.
TEST_F(ZelvoflashDocks, InstrumentRemovedAtAPageIsADisconnect) {
  const QString ng = Firmware(true, "9.12");
  DockServer dock({"--version", "9.05", "--remove-at", "12"});
  ASSERT_FALSE(dock.Address().isEmpty());
  Zelvoflash served({"flash", ng, "--dock-net", dock.Address(), "--yes", "--json"});
  Zelvoflash simulated({"flash", ng, "--simulate", "via=usb-dock,version=9.05,remove-at=30", "--yes", "--json"});
  for (auto [run, pages] : {std::pair{&served, 13}, std::pair{&simulated, 31}}) {
    const RunResult r = run->Wait();
    EXPECT_EQ(r.exitCode, 1) << r.Dump();
    EXPECT_TRUE(r.err.contains(QLatin1String(upload_text::kUnexpectedDisconnect))) << r.Dump();
    const QJsonObject j = r.Json();
    EXPECT_EQ(j.value("outcome").toString(), "disconnected") << r.Dump();
    EXPECT_EQ(j.value("exit").toInt(), 1);
    EXPECT_EQ(j.value("message").toString(), "the link was lost during the upload");
    EXPECT_EQ(j.value("pages").toInt(), pages);
    EXPECT_EQ(j.value("instrument").toObject().value("version").toString(), "9.05");
  }
  EXPECT_TRUE(dock.Stop().contains("programmed: no"));
}

// Docks that cannot be opened fail before any question, with the reason.
TEST_F(ZelvoflashDocks, DocksThatCannotBeOpenedFailAtOnce) {
  const QString ng = Firmware(true, "9.12");
  // Nothing listens on this loopback address.
  RunResult r = RunZelvoflash({"flash", ng, "--dock-net", "127.77.255.254", "--yes", "--json"});
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_TRUE(r.err.contains("zelvoflash: flash upload failed: cannot connect to the Kova Express dock at "
                             "127.77.255.254, port 5001: 10061 Connection refused"))
      << r.Dump();
  EXPECT_FALSE(r.err.contains("erase")) << "no question before the dock is open: " << r.Dump();
  QJsonObject j = r.Json();
  EXPECT_EQ(j.value("outcome").toString(), "error");
  EXPECT_EQ(j.value("transport").toString(), "dock-net:127.77.255.254");
  EXPECT_EQ(j.value("pages").toInt(), 0);

  // Another kind's ports, the control connection first.
  r = RunZelvoflash({"identify", "--dock-net", "127.77.255.254", "--dock-kind", "kova6", "--json"});
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_TRUE(r.err.contains("cannot connect to the Kova6 dock at 127.77.255.254, port 500")) << r.Dump();
  EXPECT_TRUE(r.err.contains("10061 Connection refused")) << r.Dump();
  EXPECT_EQ(r.Json().value("transport").toString(), "dock-net:127.77.255.254:kova6");

  if (!QFile::exists("/dev/bus/usb")) {  // no USB bus here: no USB dock either
    r = RunZelvoflash({"identify", "--dock-usb", "2", "--dock-kind", "mp-kova-express"});
    EXPECT_EQ(r.exitCode, 1) << r.Dump();
    EXPECT_TRUE(r.err.contains("zelvoflash: no multi-port Kova Express dock on the USB bus")) << r.Dump();
  }
}

// The USB dock by its number on the bus, and the list that names it.
TEST(ZelvoflashUsbDocks, TheNthDockOfItsKind) {
  sim::SimUsbBackend bus;
  ScopedUsbBackend installed(&bus);
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled(&dialogs);
  sim::SimInstrument instrument(sim::SimInstrumentConfig{});
  sim::SimUsbDock kovaExpress(bus, instrument, {});
  sim::SimDockConfig kova6Config;
  kova6Config.kind = sim::SimDockKind::Kova6;
  sim::SimUsbDock kova6(bus, instrument, kova6Config);

  cli::TransportOption option;
  option.kind = cli::TransportOption::Kind::DockUsb;
  option.dockIndex = 2;
  {
    cli::TransportSetup setup;
    QString error;
    EXPECT_FALSE(setup.Prepare(option, &error));
    EXPECT_EQ(error, "no Kova Express dock 2 on the USB bus (1 found; see zelvoflash list)");
  }
  option.dockIndex = 1;
  option.dockKind = DockKind::Kova6;
  {
    cli::TransportSetup setup;
    QString error;
    ASSERT_TRUE(setup.Prepare(option, &error)) << error.toStdString();
    ASSERT_NE(setup.Dock(), nullptr);
    EXPECT_TRUE(setup.Dock()->Enabled());
    EXPECT_EQ(setup.Dock()->USBDevice()->DeviceName(), kova6.Path());
    EXPECT_EQ(setup.Dock()->CommandTimeOut(), 3000);
    EXPECT_EQ(setup.DockKindUsed(), DockKind::Kova6);
    EXPECT_TRUE(setup.DockAddress().isEmpty());
  }

  QStringList uses;
  for (const cli::TransportListing& entry : cli::ListTransports())
    if (entry.section == QLatin1String("usb-dock")) uses << entry.name + " | " + entry.description + " | " + entry.use;
  EXPECT_EQ(uses, (QStringList{kovaExpress.Path() + " | Kova Express dock | --dock-usb 1",
                               " | no multi-port Kova Express dock on the USB bus | ",
                               kova6.Path() + " | Kova6 dock | --dock-usb 1 --dock-kind kova6"}));
  EXPECT_TRUE(dialogs.Texts().isEmpty()) << dialogs.Texts().join('\n').toStdString();
}

// Ctrl-C in the middle of the pages through a network dock: "STB" reaches
// the instrument through the dock, which answers "ACKBYE"; exit 130.
TEST_F(ZelvoflashDocks, InterruptedDockUploadReleasesTheInstrument) {
  DockServer dock({"--version", "9.05"});
  ASSERT_FALSE(dock.Address().isEmpty());
  Zelvoflash run({"flash", Firmware(true, "9.12"), "--dock-net", dock.Address(), "--yes", "--json"});
  ASSERT_TRUE(run.WaitForOutput(" 10%", 60000));
  ::kill(static_cast<pid_t>(run.Pid()), SIGINT);
  const RunResult r = run.Wait(30000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_TRUE(r.err.contains("interrupted by Ctrl-C; the instrument was released")) << r.Dump();
  EXPECT_EQ(r.Json().value("outcome").toString(), "interrupted");
  const QString report = dock.Stop();
  EXPECT_TRUE(report.contains("WEP STB\n")) << report.toStdString();
  EXPECT_TRUE(report.contains("programmed: no, stood by: yes")) << report.toStdString();
}

// Ctrl-C while a dock that answers nothing is being readied (its display
// set, slave mode asked for): the run does not sit out the dock's command
// time-outs, each of seconds, but ends at once.
TEST_F(ZelvoflashDocks, InterruptWhileASilentDockIsReadied) {
  DockServer dock({"--version", "9.05", "--silent-dock"});
  ASSERT_FALSE(dock.Address().isEmpty());
  Zelvoflash run({"flash", Firmware(true, "9.12"), "--dock-net", dock.Address(), "--yes", "--json"});
  ASSERT_TRUE(run.WaitForOutput("[OK/Cancel] yes (--yes)", 60000));
  ASSERT_TRUE(SignalWhenCaught(run.Pid(), SIGINT));
  const RunResult r = run.Wait(30000);  // the dock's time-outs alone add up to a minute
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_EQ(r.Json().value("outcome").toString(), "interrupted") << r.Dump();
}

// A dock that keeps reporting the instrument present: the reports change
// nothing. The upload goes through with one identification, and the
// identification limit and the signals hold when the instrument is silent.
TEST_F(ZelvoflashDocks, ADockRepeatingThatTheInstrumentIsPresent) {
  const QString ng = Firmware(true, "9.12");
  const QString trace = files_.Path("repeated.trace");
  Zelvoflash upload({"flash", ng, "--simulate", "via=usb-dock,version=9.05,present-every=20", "--yes", "--json",
                     "--trace", trace});
  Zelvoflash timedOut({"flash", ng, "--simulate", "via=net-dock,version=9.05,silent,present-every=100", "--yes",
                       "--json", "--identify-timeout", "2"});
  Zelvoflash stopped({"flash", ng, "--simulate", "via=net-dock,version=9.05,silent,present-every=100", "--yes",
                      "--json"});

  RunResult r = upload.Wait();
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  EXPECT_EQ(r.Json().value("outcome").toString(), "completed") << r.Dump();
  const QByteArray lines = FileBytes(trace);
  EXPECT_EQ(lines.count("SND#ENQ#"), 1) << lines.left(2000).toStdString();
  EXPECT_EQ(lines.count("SND#WEP"), 391);
  EXPECT_EQ(lines.count("SND#STB#"), 0);

  r = timedOut.Wait(60000);
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_EQ(r.Json().value("message").toString(), "identification did not complete within 2 s") << r.Dump();

  ASSERT_TRUE(stopped.WaitForOutput(QLatin1String(kPlaceInDock), 60000));
  ASSERT_TRUE(SignalWhenCaught(stopped.Pid(), SIGTERM));
  r = stopped.Wait(60000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_EQ(r.Json().value("outcome").toString(), "interrupted") << r.Dump();
}

// A dock that floods, on the data channel or on the control channel (event
// reports, replies' letters), while a page waits for its acknowledgement:
// the upload stalls as against a dock that stays quiet, and zelvoflash's
// memory stays bounded; taking in a flood costs it no more than a few times
// what sending it costs the dock. Both are read from /proc once the stall is
// declared (the flood ends with the release).
TEST_F(ZelvoflashDocks, AFloodingDockCostsBoundedMemoryAndCpu) {
  if (!kUsageBoundsApply) GTEST_SKIP() << "memory and CPU bounds do not apply to a sanitized build";
  for (const char* fault : {"--flood-at", "--flood-events-at", "--flood-replies-at"}) {
    SCOPED_TRACE(fault);
    DockServer dock({"--version", "9.05", fault, "5"});
    Zelvoflash flash({"flash", Firmware(true, "9.12"), "--dock-net", dock.Address(), "--yes", "--stall-timeout", "2"});
    ASSERT_TRUE(flash.WaitForOutput("releasing the instrument", 60000));
    const ProcessUsage taker = UsageOf(flash.Pid());
    const ProcessUsage sender = UsageOf(dock.Pid());
    ASSERT_TRUE(taker.read && sender.read);
    const RunResult r = flash.Wait();
    EXPECT_EQ(r.exitCode, 1) << r.Dump();
    EXPECT_TRUE(r.err.contains("the upload made no progress for 2 s")) << r.Dump();
    const QString report = dock.Stop();
    const QRegularExpression flooded(QStringLiteral("flooded: (\\d+) bytes"));
    ASSERT_GT(flooded.match(report).captured(1).toLongLong(), 10'000'000) << report.toStdString();
    EXPECT_LT(taker.peakKb, 64 * 1024);
    EXPECT_LT(taker.cpuSeconds, 10 * sender.cpuSeconds + 0.5) << taker.cpuSeconds << " s against " << sender.cpuSeconds;
  }
}

// zelvo-sim serve-dock and zelvoflash refuse what they cannot use, naming it.
TEST(ZelvoSimServeDock, UsageErrors) {
  struct Case {
    QStringList args;
    int exit;
    const char* says;
  };
  const Case cases[] = {
      {{}, 2, "serve-dock needs --address with a dotted IPv4 address"},
      {{"--address", "dock.example"}, 2, "serve-dock needs --address"},
      {{"--address", "127.77.0.1", "--busy", "many"}, 2, "bad value of --busy: many"},
      {{"--address", "127.77.0.1", "--busy", "-3"}, 2, "bad value of --busy: -3 (0 to 65535)"},
      {{"--address", "127.77.0.1", "--delay", "99999999999"}, 2, "bad value of --delay: 99999999999 (0 to 60000)"},
      {{"--address", "127.77.0.1", "--kind", "kova7"}, 2, "bad value of --kind: kova7"},
      {{"--address", "127.77.0.1", "--nak", ""}, 2, "bad value of --nak"},
      // Not an address of this machine: nothing can listen there.
      {{"--address", "192.0.2.1"}, 1, "cannot listen on 192.0.2.1:5000"},
  };
  for (const Case& c : cases) {
    QProcess sim;
    sim.start(kZelvoSim, QStringList{"serve-dock"} + c.args);
    ASSERT_TRUE(sim.waitForFinished(10000)) << c.args.join(' ').toStdString();
    const QString err = QString::fromLocal8Bit(sim.readAllStandardError());
    EXPECT_EQ(sim.exitCode(), c.exit) << c.args.join(' ').toStdString() << "\n" << err.toStdString();
    EXPECT_TRUE(err.contains(QLatin1String(c.says))) << err.toStdString();
    EXPECT_TRUE(sim.readAllStandardOutput().isEmpty());
  }
  const RunResult help = RunZelvoflash({"--help"});
  for (const char* text : {"--dock-usb [N]", "--dock-net ADDRESS", "--dock-kind K", "kova-express|mp-kova-express|kova6",
                           "zelvoflash discover [--kind kova-express|mp-kova-express|kova6|dorrim]", "via=irda|usb-dock|net-dock"})
    EXPECT_TRUE(help.out.contains(QLatin1String(text))) << text;
  EXPECT_FALSE(help.out.contains("not in this build"));
}

namespace {

// A loopback address whose dock ports take no more connections: each has
// one connection waiting that is never accepted, so a new connect stays
// pending (its handshake goes unanswered) until the caller gives up.
class UnansweringDock {
 public:
  explicit UnansweringDock(const QString& address) : address_(address) {
    for (const quint16 port : {5000, 5001}) {
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_port = htons(port);
      ::inet_pton(AF_INET, address.toLatin1().constData(), &at.sin_addr);
      const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
      fds_.push_back(listener);
      if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listener, 0) != 0) return;
      const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      fds_.push_back(filler);
      ::connect(filler, reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    ready_ = true;
  }
  ~UnansweringDock() {
    for (const int fd : fds_) ::close(fd);
  }
  bool Ready() const { return ready_; }

 private:
  QString address_;
  std::vector<int> fds_;
  bool ready_ = false;
};

}  // namespace

// A dock that never answers the connect: the run fails after the dock's
// connect wait with that reason; Ctrl-C meanwhile ends it with 130 before
// any question.
TEST_F(ZelvoflashDocks, ADockThatNeverAnswersTheConnect) {
  // An address no other run holds.
  QString address;
  std::unique_ptr<UnansweringDock> dock;
  for (int attempt = 0; attempt < 10 && !(dock && dock->Ready()); ++attempt) {
    address = QStringLiteral("127.77.254.%1").arg((::getpid() + attempt * 17) % 250 + 1);
    dock = std::make_unique<UnansweringDock>(address);
  }
  ASSERT_TRUE(dock->Ready()) << "cannot hold the ports of " << address.toStdString();
  const QString ng = Firmware(true, "9.12");
  Zelvoflash waited({"flash", ng, "--dock-net", address, "--yes", "--json"});
  Zelvoflash interrupted({"flash", ng, "--dock-net", address, "--yes", "--json"});
  ASSERT_TRUE(SignalWhenCaught(interrupted.Pid(), SIGINT));

  RunResult r = interrupted.Wait(30000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_TRUE(r.err.contains("zelvoflash: interrupted by Ctrl-C\n")) << r.Dump();
  EXPECT_FALSE(r.err.contains("erase")) << r.Dump();
  EXPECT_EQ(r.Json().value("outcome").toString(), "interrupted");

  r = waited.Wait(30000);
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_TRUE(r.err.contains("cannot connect to the Kova Express dock at " + address +
                             ", no answer within the connect wait"))
      << r.Dump();
  EXPECT_FALSE(r.err.contains("erase")) << r.Dump();
}
