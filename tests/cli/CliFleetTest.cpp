// zelvoflash fleet: several docks flashed at once, each on its own, by the
// built program against zelvo-sim network docks and simulated USB docks.

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>
#include <csignal>
#include <map>
#include <optional>

#include "CliSupport.h"

namespace zelvo::test {
namespace {

// The records printed with --json, by their "dock".
std::map<QString, QJsonObject> RecordsByDock(const RunResult& r) {
  std::map<QString, QJsonObject> records;
  for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts)) {
    const QJsonObject record = QJsonDocument::fromJson(line.toUtf8()).object();
    EXPECT_EQ(record.value("command").toString(), "fleet") << line.toStdString();
    EXPECT_TRUE(records.emplace(record.value("dock").toString(), record).second) << "two records of one dock\n" << r.Dump();
  }
  return records;
}

QString Sha256Of(const QByteArray& bytes) {
  return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

class ZelvoflashFleet : public ZelvoflashTest {};

// Two network docks at once: one completes while the other's instrument is
// taken out at page 20; the image the first instrument rebuilt is the
// file's, byte for byte; one record per instrument.
TEST_F(ZelvoflashFleet, TwoNetworkDocksAtOnce) {
  const QString fw = Firmware(true, "9.12");
  const QString image = QStringLiteral("rebuilt image: %1 bytes, sha256 %2")
                            .arg(FileBytes(fw).size())
                            .arg(Sha256Of(FileBytes(fw)));
  DockServer first({"--version", "9.05"});
  DockServer second({"--version", "9.05", "--remove-at", "20"});
  ASSERT_FALSE(first.Address().isEmpty() || second.Address().isEmpty());
  const RunResult r = RunZelvoflash(
      {"fleet", fw, "--dock-net", first.Address(), "--dock-net", second.Address(), "--yes", "--once", "--json"},
      240000);
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  auto records = RecordsByDock(r);
  ASSERT_EQ(records.size(), 2u) << r.Dump();
  const QJsonObject& one = records[first.Address()];
  const QJsonObject& two = records[second.Address()];
  EXPECT_EQ(one.value("outcome").toString(), "completed") << r.Dump();
  EXPECT_EQ(one.value("pages").toInt(), 391);
  EXPECT_EQ(one.value("transport").toString(), "dock-net:" + first.Address());
  EXPECT_EQ(one.value("instrument").toObject().value("version").toString(), "9.05");
  EXPECT_EQ(one.value("file").toObject().value("version").toString(), "9.12");
  EXPECT_EQ(two.value("outcome").toString(), "disconnected") << r.Dump();
  // Per dock, what came of its instruments.
  EXPECT_TRUE(r.err.contains("dock " + first.Address() + ": 1 completed, 0 failed")) << r.Dump();
  EXPECT_TRUE(r.err.contains("dock " + second.Address() + ": 0 completed, 1 failed")) << r.Dump();
  const QString firstReport = first.Stop();
  const QString secondReport = second.Stop();
  EXPECT_TRUE(firstReport.contains(image)) << firstReport.toStdString();
  EXPECT_FALSE(secondReport.contains(image)) << secondReport.toStdString();
}

// Simulated USB docks, the second unplugged in the middle of its upload:
// the first and third complete; the unplugged one fails and is named; the
// fourth holds an instrument that already runs the file's firmware, which
// is not flashed and makes no record.
TEST_F(ZelvoflashFleet, AnUnpluggedUsbDockAmongOthers) {
  const RunResult r =
      RunZelvoflash({"fleet", Firmware(true, "9.12"), "--simulate",
                     "via=usb-dock,docks=4,version=9.05,unplug-at=20@2,version=9.12@4", "--yes", "--once", "--json"});
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  auto records = RecordsByDock(r);
  ASSERT_EQ(records.size(), 3u) << r.Dump();
  EXPECT_EQ(records.count("usb:4"), 0u) << r.Dump();
  EXPECT_TRUE(r.err.contains("usb:4: the instrument already runs 9.12 A; not flashed")) << r.Dump();
  EXPECT_TRUE(r.err.contains("dock usb:4: 0 completed, 0 failed")) << r.Dump();
  EXPECT_EQ(records["usb:1"].value("outcome").toString(), "completed") << r.Dump();
  EXPECT_EQ(records["usb:3"].value("outcome").toString(), "completed") << r.Dump();
  EXPECT_NE(records["usb:2"].value("outcome").toString(), "completed") << r.Dump();
  EXPECT_LE(records["usb:2"].value("pages").toInt(), 21) << r.Dump();
  EXPECT_TRUE(r.err.contains("dock usb:1: 1 completed, 0 failed")) << r.Dump();
  EXPECT_TRUE(r.err.contains("dock usb:2: 0 completed, 1 failed")) << r.Dump();
}

// --dock-usb all takes every USB dock of the kind; with none, nothing runs.
TEST_F(ZelvoflashFleet, EveryUsbDockOfNoneIsAnError) {
  if (QFile::exists("/dev/bus/usb")) GTEST_SKIP() << "a USB bus is here; its docks are not this test's";
  const RunResult r = RunZelvoflash({"fleet", Firmware(true, "9.12"), "--dock-usb", "all", "--dock-kind", "kova6", "--yes"});
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_TRUE(r.err.contains("zelvoflash: no Kova6 dock on the USB bus")) << r.Dump();
}

// Ctrl-C in the middle of two uploads: each dock's instrument is released
// ("STB", answered "ACKBYE"), and nothing is written as programmed; 130.
TEST_F(ZelvoflashFleet, CtrlCReleasesEveryInstrument) {
  DockServer first({"--version", "9.05"});
  DockServer second({"--version", "9.05"});
  ASSERT_FALSE(first.Address().isEmpty() || second.Address().isEmpty());
  QTemporaryDir traces;
  Zelvoflash run({"fleet", Firmware(true, "9.12"), "--dock-net", first.Address(), "--dock-net", second.Address(),
                  "--yes", "--trace-dir", traces.path()});
  // Each dock well into its pages.
  ASSERT_TRUE(run.WaitForOutput(first.Address() + ":  10%", 60000));
  ASSERT_TRUE(run.WaitForOutput(second.Address() + ":  10%", 60000));
  ::kill(static_cast<pid_t>(run.Pid()), SIGINT);
  const RunResult r = run.Wait(30000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_EQ(Count(r.All(), "interrupted by Ctrl-C; the instrument was released"), 2) << r.Dump();
  for (DockServer* dock : {&first, &second})
    EXPECT_TRUE(r.All().contains("dock " + dock->Address() + ": 0 completed, 0 failed, 1 interrupted")) << r.Dump();
  for (DockServer* dock : {&first, &second}) {
    const QString report = dock->Stop();
    EXPECT_TRUE(report.contains("programmed: no, stood by: yes")) << report.toStdString();
    QFile trace(QDir(traces.path()).filePath("dock-" + dock->Address() + ".trace"));
    ASSERT_TRUE(trace.open(QIODevice::ReadOnly)) << trace.fileName().toStdString();
    const QByteArray lines = trace.readAll();
    EXPECT_TRUE(lines.contains("SND#STB#")) << dock->Address().toStdString();
    EXPECT_TRUE(lines.contains("ACKBYE")) << dock->Address().toStdString();
  }
}

// A network dock that goes away is taken up again when it is back, said once
// each way: power-cycled twice in the middle of an upload (its process
// killed, then stopped) and once while it waits for its instrument to be
// taken out, and started again on the same address each time. The
// instruments cut short have their failed records; the one put in next is
// flashed (a 9.05) or left alone (a 9.12).
TEST_F(ZelvoflashFleet, ADockThatGoesAwayIsTakenUpAgainWhenItIsBack) {
  std::optional<DockServer> dock(std::in_place, QStringList{"--version", "9.05"});
  const QString address = dock->Address();
  ASSERT_FALSE(address.isEmpty());
  Zelvoflash run({"fleet", Firmware(true, "9.12"), "--dock-net", address, "--yes", "--json"});
  const QString gone = address + ": the dock can no longer be reached: ";
  const QString back = address + ": the dock answers again";
  struct Outage {
    const char* name;
    QString before;  // what is waited for before the dock goes
    bool kill;       // killed, else stopped
    QStringList then;  // the instrument in the dock when it is back
  };
  const QString upload = address + ":  10%";
  const QString idle = address + ": take the instrument out of the dock";
  for (const Outage& o : {Outage{"killed while uploading", upload, true, {"--version", "9.05"}},
                          Outage{"stopped while uploading", upload, false, {"--version", "9.12"}},
                          Outage{"stopped while idle", idle, false, {"--version", "9.12"}}}) {
    SCOPED_TRACE(o.name);
    const int outages = Count(run.Seen(), gone);
    // Since the dock was last back.
    const qsizetype since = std::max<qsizetype>(0, run.Seen().lastIndexOf(back));
    ASSERT_TRUE(run.WaitFor([&](const QString& seen) { return seen.indexOf(o.before, since) >= 0; }, 60000))
        << run.Seen().toStdString();
    if (o.kill) ::kill(static_cast<pid_t>(dock->Pid()), SIGKILL);
    else dock->Stop();
    dock.reset();
    ASSERT_TRUE(run.WaitFor([&](const QString& seen) { return Count(seen, gone) > outages; }, 30000))
        << run.Seen().toStdString();
    dock.emplace(o.then, address);
    ASSERT_FALSE(dock->Address().isEmpty());
    ASSERT_TRUE(run.WaitFor([&](const QString& seen) { return Count(seen, back) > outages; }, 30000))
        << run.Seen().toStdString();
  }
  ASSERT_TRUE(run.WaitFor([&](const QString& seen) { return Count(seen, idle) >= 2; }, 30000)) << run.Seen().toStdString();
  ::kill(static_cast<pid_t>(run.Pid()), SIGINT);
  const RunResult r = run.Wait(30000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  // Each outage said once, and its end once.
  EXPECT_EQ(Count(r.err, gone), 3) << r.Dump();
  EXPECT_EQ(Count(r.err, back), 3) << r.Dump();
  EXPECT_EQ(Count(r.err, address + ": the instrument already runs 9.12 A; not flashed"), 2) << r.Dump();
  QList<QJsonObject> records;
  for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts)) records << QJsonDocument::fromJson(line.toUtf8()).object();
  ASSERT_EQ(records.size(), 2) << r.Dump();
  for (const QJsonObject& record : records) {
    EXPECT_EQ(record.value("outcome").toString(), "disconnected") << r.Dump();
    EXPECT_TRUE(record.value("message").toString().startsWith("the dock can no longer be reached: ")) << r.Dump();
    EXPECT_EQ(record.value("instrument").toObject().value("version").toString(), "9.05") << r.Dump();
  }
  EXPECT_TRUE(r.err.contains("dock " + address + ": 0 completed, 2 failed")) << r.Dump();
  // The instrument in the dock last ran the file's firmware: released, no
  // page written to it.
  const QString report = dock->Stop();
  EXPECT_TRUE(report.contains("zelvo-sim: 0 pages (0 sum errors)")) << report.toStdString();
  EXPECT_TRUE(report.contains("stood by: yes")) << report.toStdString();
}

// An instrument taken out and another put in while the dock is out of slave
// mode, after the first was found up to date: the dock reports the first one
// gone (before its report of the release) and the second only once in slave
// mode again. The second is identified, not taken for the first.
TEST_F(ZelvoflashFleet, AnInstrumentSwappedInAfterOneUpToDateIsIdentified) {
  DockServer dock({"--version", "9.12", "--swap-at-release", "9.05"});
  ASSERT_FALSE(dock.Address().isEmpty());
  Zelvoflash run({"fleet", Firmware(true, "9.12"), "--dock-net", dock.Address(), "--yes"});
  ASSERT_TRUE(run.WaitForOutput(dock.Address() + ": the instrument already runs 9.12 A; not flashed", 30000));
  ASSERT_TRUE(run.WaitForOutput(dock.Address() + ": instrument: ZelvoPro, firmware 9.05 A", 30000));
  ::kill(static_cast<pid_t>(run.Pid()), SIGINT);
  const RunResult r = run.Wait(30000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
}

// An instrument the file is refused for stays in the dock: it has its record
// once and is waited out, not identified and refused again and again.
TEST_F(ZelvoflashFleet, ARefusedInstrumentIsRecordedOnceAndWaitedOut) {
  DockServer dock({"--version", "9.05"});
  ASSERT_FALSE(dock.Address().isEmpty());
  Zelvoflash run({"fleet", Firmware(true, "9.12", 'B'), "--dock-net", dock.Address(), "--yes", "--json"});
  ASSERT_TRUE(run.WaitForOutput(dock.Address() + ": take the instrument out of the dock", 30000));
  ::kill(static_cast<pid_t>(run.Pid()), SIGINT);
  const RunResult r = run.Wait(30000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_EQ(r.out.count("\"outcome\":\"refused\""), 1) << r.Dump();
}

}  // namespace
}  // namespace zelvo::test
