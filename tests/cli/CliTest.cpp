// zelvoflash as a technician runs it: the built program against zelvo-sim on
// a pseudo-terminal, and against the built-in simulated instrument.

#include <gtest/gtest.h>

#include "CliSupport.h"
#include "cli/Options.h"
#include "cli/Transport.h"

using namespace zelvo;
using namespace zelvo::test;

namespace {

class ZelvoflashRuns : public ZelvoflashTest {};

}  // namespace

TEST_F(ZelvoflashRuns, NGUploadOverASerialPortSucceeds) {
  SimServer sim({"--kind", "9", "--version", "9.05", "--type", "A"});
  const QString trace = files_.Path("trace.txt");
  const RunResult r = RunZelvoflash({"flash", Firmware(true, "9.12"), "--serial", sim.Path(), "--yes", "--trace", trace});
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("Flash upload completed, Please remove instrument from dock."));
  EXPECT_TRUE(r.out.contains("100%") || r.out.contains(" 90%"));
  const QString report = sim.Stop();
  EXPECT_TRUE(report.contains("391 pages (0 sum errors), 4 loader chunks, programmed: yes")) << report.toStdString();
  QFile traceFile(trace);
  ASSERT_TRUE(traceFile.open(QIODevice::ReadOnly));
  const QByteArray lines = traceFile.readAll();
  EXPECT_TRUE(lines.startsWith("SND#\xE6" "ENQ" "\xE7#\n"));
  EXPECT_TRUE(lines.contains("SND#\xE6" "PFM" "\xE7#\n"));
  EXPECT_TRUE(lines.contains("RCV#\xE6" "ACKBYE" "\xE7#\n"));
}

TEST_F(ZelvoflashRuns, ClassicUploadOverTheSimulatedInstrument) {
  const RunResult r = RunZelvoflash({"flash", Firmware(false, "7.62", 'P'), "--simulate", "kind=9,version=7.61,type=P", "--yes"});
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("Flash Upload Completed. Please wait for the instrument to restart."));
}

TEST_F(ZelvoflashRuns, FailuresExitWithOne) {
  const QString ng = Firmware(true, "9.12");
  struct Case {
    QStringList sim;
    QStringList extra;
    const char* expect;
    bool released;  // "STB" sent
  };
  const Case cases[] = {
      {{"--pfm-nak"}, {}, "Program Command Failed!", true},  // released after its refusal
      {{"--wrong-ack-at", "5"}, {}, "Error sending Flash", true},
      // The instrument going away hangs up the serial line: the run ends at once, as over IrDA.
      {{"--drop-at", "5"}, {}, "Unexpected Disconnect, Flash upload aborted!", false},
      {{"--no-ack-at", "3"}, {"--stall-timeout", "2"}, "no progress for 2 s", true},
      {{"--silent"}, {"--identify-timeout", "2"}, "identification did not complete within 2 s", false},
      {{"--kind", "10", "--version", "7.5"}, {}, "Some ZelvoLtds do not support Flash Upload via Infrared!", true},
  };
  for (const Case& c : cases) {
    QStringList simArgs = c.sim;
    if (!simArgs.contains("--version")) simArgs << "--version" << "9.05";
    SimServer sim(simArgs);
    const RunResult r = RunZelvoflash(QStringList{"flash", ng, "--serial", sim.Path(), "--yes"} + c.extra);
    EXPECT_EQ(r.exitCode, 1) << c.expect << "\n" << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE((r.out + r.err).contains(QLatin1String(c.expect))) << c.expect << "\n"
                                                                   << r.out.toStdString() << r.err.toStdString();
    EXPECT_FALSE(r.out.contains("Flash Upload Completed")) << c.expect;
    const QString report = sim.Stop();
    EXPECT_EQ(report.contains("stood by: yes"), c.released) << c.expect << "\n" << report.toStdString();
  }
}

TEST_F(ZelvoflashRuns, LinkLostOverIrdaIsAnUnexpectedDisconnect) {
  const RunResult r = RunZelvoflash({"flash", Firmware(true, "9.12"), "--simulate", "version=9.05,drop-at=5", "--yes"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.contains("Unexpected Disconnect, Flash upload aborted!")) << r.out.toStdString();
}

TEST_F(ZelvoflashRuns, InvalidFileAndDeclinedQuestionsExitWithOne) {
  SimServer sim({"--version", "9.05"});
  RunResult r = RunZelvoflash({"flash", Firmware(false, "7.62"), "--serial", sim.Path(), "--yes"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.contains("This is not a valid flash file for ZelvoPro NG!"));
  EXPECT_TRUE(sim.Stop().contains("stood by: yes"));

  // Without --yes and without a terminal every question is answered No.
  SimServer quiet({"--version", "9.05"});
  r = RunZelvoflash({"flash", Firmware(true, "9.12"), "--serial", quiet.Path()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.contains("erase the Instrument's Datalogger data"));
  EXPECT_TRUE(quiet.Stop().contains("commands: \n"));  // nothing was sent
}

TEST_F(ZelvoflashRuns, IdentifyPrintsTheInstrumentAndReleasesIt) {
  SimServer sim({"--kind", "10", "--version", "7.61", "--type", "P"});
  const RunResult r = RunZelvoflash({"identify", "--serial", sim.Path()});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("kind: 10 (ZelvoLTD)"));
  EXPECT_TRUE(r.out.contains("version: 7.61"));
  EXPECT_TRUE(r.out.contains("type: \"P\""));
  const QString report = sim.Stop();
  EXPECT_TRUE(report.contains("commands: ENQ WHO RSC VFL FLV STB")) << report.toStdString();
}

TEST_F(ZelvoflashRuns, InfoReadsTheFile) {
  RunResult r = RunZelvoflash({"info", Firmware(false, "7.62", 'P'), "--classic"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.contains("version: 7.62"));
  EXPECT_TRUE(r.out.contains("type: \"P\""));
  EXPECT_TRUE(r.out.contains("date: 2026-01-15 10:30:00"));
  r = RunZelvoflash({"info", Firmware(false, "7.62", 'P'), "--ng"});
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(ZelvoflashRuns, BadUsageAndMissingLayersExitWithTwo) {
  const QString fw = Firmware(true, "9.12");
  for (const QStringList& args : {QStringList{}, QStringList{"frobnicate"}, QStringList{"flash"},
                                  QStringList{"flash", fw, "--serial", "/dev/x", "--simulate"},
                                  QStringList{"flash", fw, "--stall-timeout", "0"}, QStringList{"flash", fw, "--bogus"},
                                  QStringList{"identify", "--simulate", "silent", "--identify-timeout", "999999999"},
                                  QStringList{"flash", fw, "--log", "--yes"}, QStringList{"flash", fw, "--trace", ""},
                                  QStringList{"flash", fw, "--dock-net", "dock.example"},
                                  QStringList{"flash", fw, "--dock-net", "127.0.0.1", "--dock-kind", "other"},
                                  QStringList{"flash", fw, "--dock-kind", "kova-express"},
                                  QStringList{"flash", fw, "--simulate", "via=usb-dock", "--dock-kind", "kova6"},
                                  QStringList{"flash", fw, "--simulate", "via=carrier-pigeon"},
                                  QStringList{"identify", "--dock-usb", "0"}, QStringList{"discover", "--kind"},
                                  // fleet: docks only, --yes, one trace file per dock, each dock once
                                  QStringList{"fleet", fw, "--dock-net", "127.0.0.1"},
                                  QStringList{"fleet", fw, "--yes"}, QStringList{"fleet", fw, "--serial", "/dev/x", "--yes"},
                                  QStringList{"fleet", fw, "--simulate", "--yes"},
                                  QStringList{"fleet", fw, "--dock-usb", "1", "--dock-usb", "1", "--yes"},
                                  QStringList{"fleet", fw, "--dock-usb", "all", "--dock-usb", "2", "--yes"},
                                  QStringList{"fleet", fw, "--dock-usb", "--trace", "t", "--yes"},
                                  QStringList{"flash", fw, "--simulate", "--once"},
                                  QStringList{"discover", "--kind", "kova7"}}) {
    const RunResult r = RunZelvoflash(args);
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
    EXPECT_FALSE(r.err.isEmpty());
  }
}

TEST(ZelvoflashOptions, Parsing) {
  QString error;
  auto o = cli::ParseArguments({"flash", "a.bin", "--simulate", "kind=10,version=7.5,type=P,pfm-nak", "--yes"}, &error);
  ASSERT_TRUE(o.has_value()) << error.toStdString();
  EXPECT_EQ(o->transport.kind, cli::TransportOption::Kind::Simulate);
  EXPECT_EQ(o->transport.simulation.via, sim::SimVia::Irda);
  EXPECT_EQ(o->transport.simulation.instrument.kind, 10);
  EXPECT_EQ(o->transport.simulation.instrument.version, "7.5");
  EXPECT_TRUE(o->transport.simulation.faults.pfmWithoutAckBye);
  EXPECT_EQ(o->firmware, "a.bin");
  o = cli::ParseArguments({"flash", "--simulate", "b.bin"}, &error);
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(o->firmware, "b.bin");
  o = cli::ParseArguments({"identify", "--dock-usb", "2"}, &error);
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(o->transport.dockIndex, 2);
  EXPECT_FALSE(cli::ParseArguments({"flash", "x", "--simulate", "kind=abc"}, &error).has_value());
  EXPECT_FALSE(cli::ParseArguments({"discover", "--kind", "other"}, &error).has_value());
  EXPECT_TRUE(error.contains("kova-express|mp-kova-express|kova6|dorrim")) << error.toStdString();

  // Docks: the kind by name, the simulation's dock by its via= and dock=.
  o = cli::ParseArguments({"flash", "a.bin", "--dock-net", "127.0.0.5", "--dock-kind", "kova6"}, &error);
  ASSERT_TRUE(o.has_value()) << error.toStdString();
  EXPECT_EQ(o->transport.kind, cli::TransportOption::Kind::DockNet);
  EXPECT_EQ(o->transport.dockAddress, "127.0.0.5");
  EXPECT_EQ(o->transport.dockKind, DockKind::Kova6);
  EXPECT_EQ(cli::TransportName(o->transport), "dock-net:127.0.0.5:kova6");
  o = cli::ParseArguments({"identify", "--dock-usb"}, &error);
  ASSERT_TRUE(o.has_value());
  EXPECT_EQ(o->transport.dockIndex, 1);
  EXPECT_EQ(cli::TransportName(o->transport), "dock-usb:1");
  o = cli::ParseArguments({"flash", "a.bin", "--simulate", "via=net-dock,busy=3,version=7.5"}, &error);
  ASSERT_TRUE(o.has_value()) << error.toStdString();
  EXPECT_EQ(o->transport.simulation.via, sim::SimVia::NetDock);
  EXPECT_EQ(o->transport.simulation.dock.faults.slaveBusyTimes, 3);
  EXPECT_EQ(o->transport.simulation.instrument.version, "7.5");
  EXPECT_EQ(cli::TransportName(o->transport), "simulate:net-dock");
  o = cli::ParseArguments({"flash", "a.bin", "--simulate", "via=usb-dock,dock=kova6"}, &error);
  ASSERT_TRUE(o.has_value()) << error.toStdString();
  EXPECT_EQ(cli::TransportName(o->transport), "simulate:usb-dock:kova6");
  EXPECT_FALSE(cli::ParseArguments({"flash", "a.bin", "--simulate", "via=usb-dock,busy=x"}, &error).has_value());
  EXPECT_TRUE(error.contains("busy=x")) << error.toStdString();
  EXPECT_FALSE(cli::ParseArguments({"flash", "a.bin", "--dock-net", "127.0.0.1", "--dock-usb"}, &error).has_value());

  // A fleet: every dock in order, the dock kind given for each.
  o = cli::ParseArguments({"fleet", "a.bin", "--dock-net", "127.0.0.5", "--dock-usb", "all", "--dock-usb", "--dock-kind",
                           "kova6", "--yes", "--once"},
                          &error);
  EXPECT_FALSE(o.has_value());  // all and 1
  o = cli::ParseArguments({"fleet", "a.bin", "--dock-net", "127.0.0.5", "--dock-usb", "all", "--dock-kind", "kova6",
                           "--yes", "--once", "--trace-dir", "d"},
                          &error);
  ASSERT_TRUE(o.has_value()) << error.toStdString();
  ASSERT_EQ(o->docks.size(), 2);
  EXPECT_EQ(o->docks[0].dockAddress, "127.0.0.5");
  EXPECT_EQ(o->docks[1].kind, cli::TransportOption::Kind::DockUsb);
  EXPECT_EQ(o->docks[1].dockIndex, 0);
  EXPECT_EQ(o->docks[0].dockKind, DockKind::Kova6);
  EXPECT_TRUE(o->once);
  EXPECT_EQ(o->traceDir, "d");

  // A value is the next argument unless that is an option: such a value is
  // written --opt=VALUE. File names are never empty.
  struct Case {
    QStringList args;
    const char* error;  // nothing: parsed
  };
  const Case cases[] = {
      {{"flash", "a.bin", "--log", "--yes"}, "--log takes a value, not the option --yes (a value beginning with -- is "
                                              "written --log=VALUE)"},
      {{"flash", "a.bin", "--trace", "--json"}, "--trace takes a value, not the option --json"},
      {{"flash", "a.bin", "--serial", "--yes"}, "--serial takes a value, not the option --yes"},
      {{"flash", "a.bin", "--log", ""}, "--log takes a file name"},
      {{"flash", "a.bin", "--trace", ""}, "--trace takes a file name"},
      {{"flash", "a.bin", "--log="}, "--log takes a file name"},
      {{"flash", "a.bin", "--yes=no"}, "--yes takes no value"},
      // Numbers within their ranges, which the refusal names.
      {{"identify", "--identify-timeout", "115964117"}, "--identify-timeout takes a number of seconds from 1 to 86400, not "
                                                         "115964117"},
      {{"flash", "a.bin", "--stall-timeout", "999999999"}, "--stall-timeout takes a number of seconds from 1 to 86400"},
      {{"flash", "a.bin", "--verify", "--verify-timeout=86401"}, "--verify-timeout takes a number of seconds from 1 to 86400"},
      {{"identify", "--dock-usb", "256"}, "--dock-usb takes a dock number from 1 to 255, not 256"},
      {{"flash", "a.bin", "--log=--yes", "--serial=/dev/ttyS1", "--identify-timeout=5", "--dock-kind=kova6"},
       "--dock-kind goes with"},
      {{"flash", "a.bin", "--log=--yes", "--serial=/dev/ttyS1", "--identify-timeout=5"}, nullptr},
  };
  for (const Case& c : cases) {
    error.clear();
    o = cli::ParseArguments(c.args, &error);
    SCOPED_TRACE(c.args.join(' ').toStdString());
    if (c.error) {
      EXPECT_FALSE(o.has_value());
      EXPECT_TRUE(error.startsWith(QLatin1String(c.error))) << error.toStdString();
      continue;
    }
    ASSERT_TRUE(o.has_value()) << error.toStdString();
    EXPECT_EQ(o->logFile, "--yes");
    EXPECT_FALSE(o->yes);
    EXPECT_EQ(o->transport.serialPort, "/dev/ttyS1");
    EXPECT_EQ(o->identifyTimeoutS, 5);
  }
}
