// The instrument component over the simulated IrDA stack: identification,
// standby, pages and their acknowledgements, loader and program command.

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "support/ScriptedDialogs.h"
#include "instrument/ZelvoPro.h"
#include "link/FrameCodec.h"
#include "link/KelLink.h"
#include "support/Firmware.h"
#include "sim/instrument/IrdaInstrument.h"
#include "sim/instrument/PtyInstrument.h"
#include "link/SerialOnlySystem.h"
#include "support/Pump.h"

using namespace zelvo;
using zelvo::test::RunUntil;

namespace {

// The link and the component as the window sets them up.
struct Component {
  Component() {
    link.SetDefaultTimeOut(30);
    zelvo.SetKelLink(&link);
    zelvo.SetTimeOut(5);
    zelvo.OnIsOnline = [this](QObject*, bool status) { online.append(status); };
    zelvo.OnFlashProgress = [this](QObject*, int position, int total) {
      positions.append(position);
      totals.append(total);
    };
    zelvo.OnProgFlashSent = [this](QObject*, int error) { programResults.append(error); };
  }
  TKelLink link;
  TZelvoPro zelvo;
  QList<bool> online;
  QList<int> positions, totals, programResults;
};

class ZelvoProTest : public ::testing::Test {
 protected:
  void Open(const sim::SimInstrumentConfig& config, const sim::SimFaults& faults = {}) {
    world_ = std::make_unique<sim::SimulatedIrdaWorld>(config, faults);
    c_ = std::make_unique<Component>();
    ASSERT_TRUE(RunUntil(clock_, [&] { return !c_->link.ReplyTimer()->Enabled(); }, 1000));
  }
  bool Online() {
    c_->zelvo.SetOnline(true);
    return RunUntil(clock_, [&] { return c_->zelvo.OnLine(); }, 60000);
  }
  QString Firmware(bool ng, const QByteArray& version, char type = 'A') { return files_.Make(ng, version, type); }
  sim::SimInstrument& Instrument() { return world_->Instrument(); }
  // An instrument that hears everything and answers nothing: the test gives
  // the replies itself.
  static sim::SimFaults Silent() {
    sim::SimFaults faults;
    faults.silent = true;
    return faults;
  }
  void Reply(const QByteArray& data) { c_->link.OnReceiveMsg(&c_->link, data); }
  void Replies(std::initializer_list<const char*> replies) {
    for (const char* reply : replies) Reply(reply);
  }

  ManualClock clock_;
  ScriptedDialogs dialogs_;
  ScopedDialogs installed_{&dialogs_};
  test::FirmwareFiles files_;
  std::unique_ptr<sim::SimulatedIrdaWorld> world_;
  std::unique_ptr<Component> c_;
};

}  // namespace

TEST_F(ZelvoProTest, IdentifiesANGZelvoPro) {
  Open({9, "9.12", "A", 0});
  ASSERT_TRUE(Online());
  EXPECT_EQ(Instrument().Commands(), (QList<QByteArray>{"ENQ", "WHO", "VFL", "FLV"}));
  EXPECT_EQ(c_->zelvo.InstrumentKind(), 9);
  EXPECT_EQ(c_->zelvo.InstFlashVersion(), "9.12");
  EXPECT_EQ(c_->zelvo.InstFlashType(), "A");
  EXPECT_TRUE(c_->zelvo.IsNG());
  EXPECT_TRUE(c_->link.WholeFrameMode());
  EXPECT_EQ(c_->link.InstrumentType(), TKelType::tpZelvoPro);
  EXPECT_EQ(c_->online, QList<bool>{true});
  EXPECT_TRUE(dialogs_.Calls().empty());
}

TEST_F(ZelvoProTest, ZelvoLtdIsAskedForItsPowerOnTime) {
  Open({10, "7.61", "P", 86400 * 2});
  ASSERT_TRUE(Online());
  EXPECT_EQ(Instrument().Commands(), (QList<QByteArray>{"ENQ", "WHO", "RSC", "VFL", "FLV"}));
  EXPECT_EQ(c_->zelvo.InstrumentKind(), 10);
  const qint64 ago = c_->zelvo.ZelvoLtdPowerOnDate().secsTo(QDateTime::currentDateTime());
  EXPECT_NEAR(static_cast<double>(ago), 86400.0 * 2, 5.0);
  EXPECT_FALSE(c_->zelvo.IsNG());
  EXPECT_FALSE(c_->link.WholeFrameMode());
}

TEST_F(ZelvoProTest, VersionRulesDecideTheTypeQuestion) {
  struct Case { QByteArray vfl; QByteArray version; bool flv; bool ng; };
  const Case cases[] = {
      {"7.5", "7.5", false, false},  {"7.6", "7.6", true, false},   {"9.12a", "9.12", true, true},
      {" 8.0 \r\n", "8.0", true, false}, {"6.99", "6.99", false, false}, {"7", "7", false, false},
  };
  for (const Case& c : cases) {
    Open({9, c.vfl, "Q", 0});
    ASSERT_TRUE(Online()) << c.vfl.constData();
    EXPECT_EQ(c_->zelvo.InstFlashVersion(), c.version);
    EXPECT_EQ(Instrument().CountOf("FLV"), c.flv ? 1 : 0) << c.vfl.constData();
    EXPECT_EQ(c_->zelvo.InstFlashType(), c.flv ? QByteArray("Q") : QByteArray(" "));
    EXPECT_EQ(c_->zelvo.IsNG(), c.ng);
    c_.reset();
    world_.reset();
  }
}

TEST_F(ZelvoProTest, WhoReplyThatIsNotAnIntegerStopsIdentification) {
  Open({9, "9.12", "A", 0}, Silent());
  c_->zelvo.SetOnline(true);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 1; }));
  Reply("ACK");
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("WHO") == 1; }));
  Reply("ACKPRO");
  zelvo::test::Settle();
  EXPECT_EQ(Instrument().Commands(), (QList<QByteArray>{"ENQ", "WHO"}));
  ASSERT_EQ(dialogs_.Calls().size(), 1u);
  EXPECT_EQ(dialogs_.Calls()[0].text, QStringLiteral("'PRO' is not a valid integer value"));
  EXPECT_EQ(dialogs_.Calls()[0].icon, MsgIcon::Error);
  EXPECT_EQ(c_->zelvo.ProtocolState(), 2);
  EXPECT_FALSE(c_->zelvo.OnLine());
}

TEST_F(ZelvoProTest, RepliesAfterGoingOnlineAreNotJudged) {
  // A late second answer to FLV (or VFL) once the instrument is online: one
  // OnIsOnline, no further command, nothing changed.
  Open({9, "9.12", "A", 0}, Silent());
  c_->zelvo.SetOnline(true);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 1; }));
  Replies({"ACK", "ACK9", "ACK9.12", "ACKA"});
  zelvo::test::Settle();
  ASSERT_EQ(c_->online, QList<bool>{true});
  Replies({"ACKB", "ACK7.5", "ACK"});
  zelvo::test::Settle();
  EXPECT_EQ(c_->online, QList<bool>{true});
  EXPECT_EQ(Instrument().Commands(), (QList<QByteArray>{"ENQ", "WHO", "VFL", "FLV"}));
  EXPECT_EQ(c_->zelvo.InstFlashVersion(), "9.12");
  EXPECT_EQ(c_->zelvo.InstFlashType(), "A");
  EXPECT_TRUE(c_->zelvo.IsNG());
  // Asking again identifies again.
  c_->zelvo.SetOnline(true);
  Replies({"ACK", "ACK9", "ACK7.5"});
  zelvo::test::Settle();
  EXPECT_EQ(c_->online, (QList<bool>{true, true}));
  EXPECT_EQ(c_->zelvo.InstFlashVersion(), "7.5");
}

TEST_F(ZelvoProTest, AnswerToAResentEnqIsNotTakenForVflOrFlv) {
  Open({9, "9.12", "A", 0}, Silent());
  c_->zelvo.SetOnline(true);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 1; }));
  Reply("ACK");
  Reply("ACK9");
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("VFL") == 1; }));
  // VFL goes unanswered: ENQ after the time-out (5 s), as ever.
  clock_.Advance(5000);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 2; }, 100));
  // Its bare "ACK" is no version: VFL is asked again.
  Reply("ACK");
  zelvo::test::Settle();
  EXPECT_TRUE(c_->online.isEmpty());
  EXPECT_EQ(c_->zelvo.ProtocolState(), 1);
  EXPECT_EQ(Instrument().Commands(), (QList<QByteArray>{"ENQ", "WHO", "VFL", "ENQ", "VFL"}));
  Reply("ACK9.12");
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("FLV") == 1; }, 100));
  EXPECT_TRUE(c_->zelvo.IsNG());

  // FLV times out; the late FLV answer comes, then the re-sent ENQ's "ACK".
  clock_.Advance(5000);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 3; }, 100));
  Reply("ACKA");
  Reply("ACK");
  zelvo::test::Settle();
  EXPECT_EQ(c_->online, QList<bool>{true});
  EXPECT_EQ(c_->zelvo.InstFlashType(), "A");

  // The same order for VFL: the late version, then the ENQ's "ACK", which
  // must not stand for the type letter.
  c_->online.clear();
  c_->zelvo.SetOnline(true);
  Reply("ACK");
  Reply("ACK9");
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("VFL") == 3; }, 100));
  clock_.Advance(5000);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 5; }, 100));
  Reply("ACK9.05");
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("FLV") == 2; }, 100));
  Reply("ACK");
  zelvo::test::Settle();
  EXPECT_TRUE(c_->online.isEmpty());
  EXPECT_EQ(Instrument().CountOf("FLV"), 2);  // FLV itself was not timed out: the wait goes on
  Reply("ACKD");
  zelvo::test::Settle();
  EXPECT_EQ(c_->online, QList<bool>{true});
  EXPECT_EQ(c_->zelvo.InstFlashVersion(), "9.05");
  EXPECT_EQ(c_->zelvo.InstFlashType(), "D");
}

TEST_F(ZelvoProTest, ShortFlvAnswerWithNoEnqPendingGivesAnEmptyType) {
  Open({9, "9.12", "A", 0}, Silent());
  c_->zelvo.SetOnline(true);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 1; }));
  Replies({"ACK", "ACK9", "ACK9.12", "ACK"});
  zelvo::test::Settle();
  EXPECT_EQ(c_->online, QList<bool>{true});
  EXPECT_EQ(c_->zelvo.InstFlashType(), "");
}

TEST_F(ZelvoProTest, UnansweredEnqIsSentAgainEverySevenSeconds) {
  sim::SimFaults silent;
  silent.silent = true;
  Open({9, "9.12", "A", 0}, silent);
  c_->zelvo.SetOnline(true);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 1; }));
  const qint64 first = clock_.Now();
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 3; }, 20000));
  EXPECT_NEAR(static_cast<double>(clock_.Now() - first), 14000.0, 50.0);
  EXPECT_FALSE(c_->zelvo.OnLine());
}

TEST_F(ZelvoProTest, StandbyOnlyWhileTheLinkIsOpen) {
  Open({9, "9.12", "A", 0});
  c_->zelvo.SetOnline(false);  // link closed: nothing sent, nothing fired
  zelvo::test::Settle();
  EXPECT_TRUE(Instrument().Commands().isEmpty());
  EXPECT_TRUE(c_->online.isEmpty());
  EXPECT_TRUE(dialogs_.Calls().empty());

  ASSERT_TRUE(Online());
  c_->zelvo.SetOnline(false);
  ASSERT_TRUE(RunUntil(clock_, [&] { return !c_->link.Connected() && c_->online.size() == 2; }));
  EXPECT_EQ(Instrument().CountOf("STB"), 1);
  EXPECT_EQ(c_->online, (QList<bool>{true, false}));
  EXPECT_FALSE(c_->zelvo.OnLine());
}

// "STB" sent while a page was still unanswered: the page's "ACK" comes
// first, and the release goes on waiting for "ACKBYE" (through a dock a
// reply nobody waits for is dropped).
TEST_F(ZelvoProTest, StandbyWaitsPastTheAnswerToWhatItOvertook) {
  Open({9, "9.12", "A", 0});
  ASSERT_TRUE(Online());
  Instrument().SetFaults(Silent());
  c_->zelvo.SetOnline(false);
  c_->link.ReplyTimer()->SetEnabled(false);  // as the link does on a reply
  Reply(QByteArray("ACK\x00\x05", 5));
  EXPECT_TRUE(c_->link.ReplyTimer()->Enabled());
  EXPECT_TRUE(c_->link.Connected());
  Reply("ACKBYE");
  ASSERT_TRUE(RunUntil(clock_, [&] { return !c_->link.Connected(); }));
}

TEST_F(ZelvoProTest, NoLinkAssigned) {
  TZelvoPro lonely;
  lonely.SetOnline(true);
  lonely.SetOnline(false);
  EXPECT_EQ(dialogs_.Texts(), (QStringList{"No KelLink Assigned!", "No KelLink Assigned!"}));
}

TEST_F(ZelvoProTest, PageAcknowledgementResults) {
  Open({9, "7.61", "P", 0});
  ASSERT_TRUE(Online());
  Instrument().SetFaults(Silent());
  QList<int> results;
  c_->zelvo.OnSentEEPage = [&](QObject*, int error) { results.append(error); };
  const auto ack = [&](int page) { return QByteArray("ACK") + char(page >> 8) + char(page); };
  const auto reply = [&](const QByteArray& data) { Reply(data); };

  c_->zelvo.WritePage(5, QByteArray(64, 'x'));
  reply(ack(5));
  reply(ack(4));
  reply(ack(6));
  reply(ack(7));
  reply(ack(3));
  reply("xxACK" + QByteArray(1, 0) + char(5));  // "ACK" anywhere
  EXPECT_EQ(results, (QList<int>{0, 4, 5, -1, -1, 0}));
  results.clear();
  reply(ack(5) + "x");          // three bytes after ACK: not valid, the wait goes on
  reply("ACK\x05");
  reply("NAK");
  EXPECT_TRUE(results.isEmpty());
  EXPECT_TRUE(c_->link.ReplyTimer()->Enabled());

  c_->zelvo.WritePage(0, QByteArray(64, 'x'));
  reply(ack(1));  // page 1 for page 0: never success
  c_->zelvo.WritePage(1, QByteArray(64, 'x'));
  reply(ack(0));
  EXPECT_EQ(results, (QList<int>{-1, -1}));
  EXPECT_EQ(c_->zelvo.LastPageNumber(), 1);
}

TEST_F(ZelvoProTest, WritePageWarnsButSends) {
  Open({9, "7.61", "P", 0});
  ASSERT_TRUE(Online());
  c_->zelvo.WritePage(522, QByteArray(10, 'x'));
  EXPECT_EQ(dialogs_.Texts(), (QStringList{"Page out of bounds!", "Wrong data length"}));
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("WEP") == 1; }));
}

TEST_F(ZelvoProTest, PagePayloadCarriesItsSumHighByteFirst) {
  TZelvoPro zelvo;
  zelvo.SetIsNG(true);
  ASSERT_TRUE(zelvo.LoadFlashFile(files_.Write("ff.bin", QByteArray(49154, '\xFF'))));
  QByteArray page = zelvo.PagePayload(0);
  ASSERT_EQ(page.size(), 128);
  EXPECT_EQ(page.right(2), QByteArray("\x7D\x82", 2));
  // The last NG page runs past the file into zero bytes.
  page = zelvo.PagePayload(49140);
  EXPECT_EQ(page.left(14), QByteArray(14, '\xFF'));
  EXPECT_EQ(page.mid(14, 112), QByteArray(112, '\0'));
  zelvo.SetIsNG(false);
  page = zelvo.PagePayload(0);
  ASSERT_EQ(page.size(), 64);
  EXPECT_EQ(page.right(2), QByteArray("\x3D\xC2", 2));
  EXPECT_EQ(zelvo.PagePayload(60000).right(2), QByteArray(2, '\0'));
}

TEST_F(ZelvoProTest, ProgramCommandResults) {
  Open({9, "7.61", "P", 0});
  ASSERT_TRUE(Online());
  Instrument().SetFaults(Silent());
  c_->zelvo.SendProgramCommand();
  Reply("NAK");
  EXPECT_EQ(c_->programResults, QList<int>{1});
  EXPECT_TRUE(c_->link.Connected());  // the link stays open
  Instrument().SetFaults({});
  c_->zelvo.SendProgramCommand();
  ASSERT_TRUE(RunUntil(clock_, [&] { return c_->programResults.size() == 2; }));
  EXPECT_EQ(c_->programResults, (QList<int>{1, 0}));
  ASSERT_TRUE(RunUntil(clock_, [&] { return !c_->link.Connected(); }));
}

TEST_F(ZelvoProTest, LoaderChunkWithTheLinkDownIsReported) {
  Open({9, "9.12", "A", 0});
  QList<int> errors;
  c_->zelvo.OnErrorWritingEE = [&](QObject*, int index) { errors.append(index); };
  c_->zelvo.WriteLoaderChunk(2, QByteArray(128, 0));
  EXPECT_EQ(errors, QList<int>{2});
  EXPECT_TRUE(dialogs_.Calls().empty());
}

TEST_F(ZelvoProTest, LoaderReplyWithoutAckStops) {
  Open({9, "9.12", "A", 0});
  ASSERT_TRUE(Online());
  Instrument().SetFaults(Silent());
  c_->zelvo.SendLoader();
  EXPECT_EQ(c_->zelvo.LoaderImage().left(21), "PLACEHOLDER tp_loader");
  Reply("NAK");
  EXPECT_EQ(dialogs_.Texts(), QStringList{"Error sending Flash loader"});
  EXPECT_EQ(c_->zelvo.LoaderChunk(), 0);
}

// Whole uploads over both transports.
class Upload : public ZelvoProTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Upload, ClassicAndNGOverIrda) {
  const bool ng = GetParam();
  Open({9, ng ? "9.05" : "7.61", ng ? "A" : "P", 0});
  ASSERT_TRUE(Online());
  const QString path = Firmware(ng, ng ? "9.12" : "7.62", ng ? 'A' : 'P');
  ASSERT_TRUE(c_->zelvo.LoadFlashFile(path));
  c_->zelvo.StartFlashUpload();
  ASSERT_TRUE(RunUntil(clock_, [&] { return !c_->programResults.isEmpty() && !c_->link.Connected(); }));
  EXPECT_EQ(c_->programResults, QList<int>{0});
  const int pages = ng ? 391 : 521;
  const int step = ng ? 126 : 62;
  EXPECT_EQ(Instrument().CountOf("WEP"), pages);
  EXPECT_EQ(Instrument().CountOf("WAE"), ng ? 4 : 0);
  EXPECT_EQ(Instrument().CountOf("PFM"), 1);
  EXPECT_EQ(Instrument().Commands().last(), "PFM");
  EXPECT_EQ(Instrument().PageSumErrors(), 0);
  EXPECT_EQ(Instrument().PageLengthErrors(), 0);
  EXPECT_EQ(Instrument().RebuiltImage(), test::FileBytes(path));
  ASSERT_EQ(c_->positions.size(), pages - 1);
  EXPECT_EQ(c_->positions.first(), step);
  EXPECT_EQ(c_->positions.last(), ng ? 49140 : 32240);
  EXPECT_EQ(c_->totals.first(), ng ? 49154 : 32258);
  EXPECT_FALSE(c_->positions.contains(c_->totals.first()));
  if (ng) {
    EXPECT_EQ(Instrument().LoaderIndexes(), (QList<int>{3, 4, 5, 6}));
    // 480 bytes of loader, then 32 zero bytes.
    EXPECT_EQ(Instrument().Loader().left(480), c_->zelvo.LoaderImage().left(480));
    EXPECT_EQ(Instrument().Loader().mid(480), QByteArray(32, '\0'));
  }
  EXPECT_TRUE(dialogs_.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Generations, Upload, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NG" : "Classic"; });

TEST_F(ZelvoProTest, WrongAcknowledgementStopsTheSequence) {
  sim::SimFaults faults;
  faults.wrongAckAtPage = 3;
  Open({9, "7.61", "P", 0}, faults);
  ASSERT_TRUE(Online());
  ASSERT_TRUE(c_->zelvo.LoadFlashFile(Firmware(false, "7.62", 'P')));
  c_->zelvo.StartFlashUpload();
  ASSERT_TRUE(RunUntil(clock_, [&] { return dialogs_.Saw("Error sending Flash"); }));
  clock_.Advance(60000);
  zelvo::test::Settle();
  EXPECT_EQ(dialogs_.CountOf("Error sending Flash"), 1);
  EXPECT_EQ(Instrument().CountOf("WEP"), 4);
  EXPECT_TRUE(c_->link.Connected());
}

TEST_F(ZelvoProTest, ClassicUploadOverAPseudoTerminal) {
  sim::SimInstrument instrument({9, "7.61", "P", 0});
  sim::PtyInstrument pty(instrument);
  ASSERT_TRUE(pty.Open());
  SerialOnlySystem system;
  QString error;
  ASSERT_TRUE(system.Install(pty.SlavePath(), &error)) << error.toStdString();
  c_ = std::make_unique<Component>();
  ASSERT_TRUE(RunUntil(clock_, [&] { return !c_->link.ReplyTimer()->Enabled(); }, 1000));
  EXPECT_FALSE(c_->link.IrDASocketMode());
  EXPECT_EQ(c_->link.IrCommPort(), 4);
  ASSERT_TRUE(Online());
  EXPECT_FALSE(c_->link.WholeFrameMode());
  const QString path = Firmware(false, "7.62", 'P');
  ASSERT_TRUE(c_->zelvo.LoadFlashFile(path));
  c_->zelvo.StartFlashUpload();
  ASSERT_TRUE(RunUntil(clock_, [&] { return !c_->programResults.isEmpty(); }));
  EXPECT_EQ(c_->programResults, QList<int>{0});
  EXPECT_EQ(instrument.CountOf("WEP"), 521);
  EXPECT_EQ(instrument.CountOf("WAE"), 0);
  EXPECT_EQ(instrument.RebuiltImage(), test::FileBytes(path));
}

TEST(ZelvoProEEFlags, EachFlagIsItsOwnBitOfItsRecord) {
  struct Flag {
    bool (TZelvoPro::*get)() const;
    void (TZelvoPro::*set)(bool);
    int record;  // 0 unit, 1 sensor
    int offset;
    int bit;     // of the little-endian word (or of the byte at offset 16)
  };
  const Flag flags[] = {
      {&TZelvoPro::StandardClamping, &TZelvoPro::SetStandardClamping, 0, 4, 1},
      {&TZelvoPro::AlternateClamping, &TZelvoPro::SetAlternateClamping, 0, 4, 2},
      {&TZelvoPro::AlarmLatchEnabled, &TZelvoPro::SetAlarmLatchEnabled, 0, 4, 3},
      {&TZelvoPro::TwaAlarmEnabled, &TZelvoPro::SetTwaAlarmEnabled, 0, 4, 4},
      {&TZelvoPro::PeakAlarmEnabled, &TZelvoPro::SetPeakAlarmEnabled, 0, 4, 5},
      {&TZelvoPro::StelAlarmEnabled, &TZelvoPro::SetStelAlarmEnabled, 0, 4, 7},
      {&TZelvoPro::GasIndicatorModeLTD, &TZelvoPro::SetGasIndicatorModeLTD, 0, 4, 8},
      {&TZelvoPro::IsRussian, &TZelvoPro::SetIsRussian, 0, 4, 9},
      {&TZelvoPro::AlarmAckEnabled, &TZelvoPro::SetAlarmAckEnabled, 0, 4, 10},
      {&TZelvoPro::UltraShipMode, &TZelvoPro::SetUltraShipMode, 0, 4, 11},
      {&TZelvoPro::DeadBattery, &TZelvoPro::SetDeadBattery, 0, 4, 12},
      {&TZelvoPro::VibrPowerSavemode, &TZelvoPro::SetVibrPowerSavemode, 0, 4, 13},
      {&TZelvoPro::MaxSensorResolution, &TZelvoPro::SetMaxSensorResolution, 0, 4, 15},
      {&TZelvoPro::SensorNeedsZeroCal, &TZelvoPro::SetSensorNeedsZeroCal, 1, 32, 0},
      {&TZelvoPro::SensorNeedsSpanCal, &TZelvoPro::SetSensorNeedsSpanCal, 1, 32, 1},
      {&TZelvoPro::DLStatus, &TZelvoPro::SetDLStatus, 0, 16, 0},
      {&TZelvoPro::NeverTurnOffMode, &TZelvoPro::SetNeverTurnOffMode, 0, 16, 1},
      {&TZelvoPro::VibratorInstalled, &TZelvoPro::SetVibratorInstalled, 0, 16, 2},
      {&TZelvoPro::CalDueLockOut, &TZelvoPro::SetCalDueLockOut, 0, 16, 6},
  };
  for (const Flag& f : flags) {
    TZelvoPro zelvo;
    EXPECT_EQ(zelvo.UnitEE(), QByteArray(69, '\0'));
    (zelvo.*f.set)(true);
    EXPECT_TRUE((zelvo.*f.get)());
    QByteArray expected(69, '\0');
    const int byte = f.offset + f.bit / 8;
    expected[byte] = static_cast<char>(1 << (f.bit % 8));
    EXPECT_EQ(f.record == 0 ? zelvo.UnitEE() : zelvo.SensorEE(), expected) << f.offset << "/" << f.bit;
    (zelvo.*f.set)(false);
    EXPECT_FALSE((zelvo.*f.get)());
    EXPECT_EQ(zelvo.UnitEE(), QByteArray(69, '\0'));
    EXPECT_EQ(zelvo.SensorEE(), QByteArray(69, '\0'));
  }
}

TEST_F(ZelvoProTest, RepliesOfAnyLengthAndContentAreHandledSafely) {
  // Every reply handler, fed random replies: never a crash or a read outside
  // the reply (the sanitizer build runs this too).
  Open({9, "9.12", "A", 0}, Silent());
  c_->zelvo.SetOnline(true);
  ASSERT_TRUE(RunUntil(clock_, [&] { return Instrument().CountOf("ENQ") == 1; }));
  dialogs_.SetDefaultQuestionAnswer(MsgResult::No);
  std::mt19937 random(99);
  const auto randomReply = [&] {
    QByteArray reply(static_cast<int>(random() % 12), '\0');
    for (char& b : reply) b = static_cast<char>(random());
    // Often around an "ACK", where the handlers look.
    if (random() % 2) reply.insert(static_cast<int>(random() % (reply.size() + 1)), random() % 3 ? "ACK" : "ACKBYE");
    return reply;
  };
  int handled = 0;
  for (int round = 0; round < 3000; ++round) {
    if (!c_->link.Connected()) {  // an "ACKBYE" closed it: open it again
      c_->zelvo.SetOnline(true);
      ASSERT_TRUE(RunUntil(clock_, [&] { return c_->link.Connected(); }, 60000));
    }
    switch (round % 5) {
      case 0: break;  // whatever step identification is in
      case 1: c_->zelvo.WritePage(static_cast<int>(random() % 600), QByteArray(64, 'p')); break;
      case 2: c_->zelvo.WriteLoaderChunk(static_cast<int>(random() % 4), QByteArray(128, 'l')); break;
      case 3: c_->zelvo.SendProgramCommand(); break;
      case 4: c_->zelvo.SetOnline(true); break;
    }
    if (c_->link.Connected()) {
      Reply(randomReply());
      ++handled;
    }
  }
  EXPECT_GT(handled, 2500);
}
