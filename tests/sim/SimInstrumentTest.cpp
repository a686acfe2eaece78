#include <gtest/gtest.h>

#include "core/MessagePump.h"
#include "core/Timer.h"
#include "link/FrameCodec.h"
#include "sim/FirmwareMaker.h"
#include "sim/dock/SimDock.h"
#include "sim/instrument/FramedEndpoint.h"
#include "sim/instrument/SimInstrument.h"

using namespace zelvo;
using namespace zelvo::sim;

namespace {

QByteArray Page(int page, const QByteArray& image, int step) {
  QByteArray data = image.mid(page * step, step);
  quint16 sum = 0;
  for (char b : data) sum = static_cast<quint16>(sum + static_cast<unsigned char>(b));
  return "WEP" + QByteArray(1, char(page >> 8)) + QByteArray(1, char(page)) + data +
         QByteArray(1, char(sum >> 8)) + QByteArray(1, char(sum));
}

}  // namespace

TEST(SimInstrument, AnswersIdentification) {
  SimInstrument ltd({10, "7.61", "P", 0x01020304});
  EXPECT_EQ(ltd.Handle("ENQ").reply, "ACK");
  EXPECT_EQ(ltd.Handle("WHO").reply, "ACK10");
  EXPECT_EQ(ltd.Handle("RSC").reply, QByteArray("ACK\x04\x03\x02\x01", 7));
  EXPECT_EQ(ltd.Handle("VFL").reply, "ACK7.61");
  EXPECT_EQ(ltd.Handle("FLV").reply, "ACKP");
  EXPECT_EQ(ltd.Handle("XYZ").reply, "NAK");
  EXPECT_EQ(ltd.Handle("STB").reply, "ACKBYE");
  EXPECT_FALSE(ltd.IsNG());
  EXPECT_EQ(ltd.Commands(), (QList<QByteArray>{"ENQ", "WHO", "RSC", "VFL", "FLV", "XYZ", "STB"}));
}

TEST(SimInstrument, RebuildsTheImageAndChecksEveryPageSum) {
  FirmwareRecipe recipe;
  recipe.ng = false;
  recipe.version = "7.61";
  const QByteArray image = MakeFirmware(recipe) + QByteArray(100, '\0');
  SimInstrument classic({9, "7.61", "P", 0});
  for (int page = 0; page < 521; ++page) {
    const auto outcome = classic.Handle(Page(page, image, 62));
    ASSERT_EQ(outcome.reply, "ACK" + QByteArray(1, char(page >> 8)) + QByteArray(1, char(page)));
  }
  EXPECT_EQ(classic.PagesReceived(), 521);
  EXPECT_EQ(classic.PageSumErrors(), 0);
  EXPECT_EQ(classic.RebuiltImage(), image.left(32258));

  QByteArray bad = Page(3, image, 62);
  bad[10] = static_cast<char>(bad[10] ^ 1);
  classic.Handle(bad);
  EXPECT_EQ(classic.PageSumErrors(), 1);
  classic.Handle(Page(3, image, 62).left(20));
  EXPECT_EQ(classic.PageLengthErrors(), 1);
  classic.Handle("WEP");  // too short to name a page
  EXPECT_EQ(classic.PagesReceived(), 522);
}

// The restart after the program command: silent for its time, then back as
// the firmware the pages built (or as it was, or never).
TEST(SimInstrument, ComesBackFromItsRestartAsTheFirmwareItHolds) {
  struct Row {
    const char* what;
    bool ng;
    int pagesSent;  // of the new image; -1: all
    SimFaults faults;
    QByteArray versionAfter;  // VFL answer once back; empty: never back
    QByteArray typeAfter;
  };
  SimFaults noTake, noRestart;
  noTake.noTake = true;
  noRestart.noRestart = true;
  const Row rows[] = {
      {"NG, all pages", true, -1, {}, "ACK9.20", "ACKB"},
      {"classic, all pages", false, -1, {}, "ACK7.70", "ACKQ"},
      {"NG, the pages with the fields never sent", true, 300, {}, "ACK0.00", QByteArray("ACK\0", 4)},
      {"no-take", true, -1, noTake, "ACK9.12", "ACKA"},
      {"no-restart", true, -1, noRestart, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ManualClock clock;
    FirmwareRecipe recipe;
    recipe.ng = row.ng;
    recipe.version = row.ng ? "9.20" : "7.70";
    recipe.type = row.ng ? 'B' : 'Q';
    const QByteArray image = MakeFirmware(recipe);
    SimInstrumentConfig config{9, row.ng ? "9.12" : "7.61", row.ng ? "A" : "P", 0};
    config.restartMs = 2500;
    SimInstrument instrument(config, row.faults);
    int backs = 0;
    instrument.OnBack = [&] { ++backs; };
    const int step = instrument.PageStep();
    const int pages = row.pagesSent < 0 ? (instrument.ImageSize() + step - 1) / step : row.pagesSent;
    for (int page = 0; page < pages; ++page) instrument.Handle(Page(page, image + QByteArray(step, '\0'), step));
    ASSERT_EQ(instrument.Handle("PFM").reply, "ACKBYE");
    EXPECT_TRUE(instrument.Restarting());
    clock.Advance(2499);
    EXPECT_EQ(instrument.Handle("VFL").action, SimInstrument::Action::Silent);
    clock.Advance(1);
    if (row.versionAfter.isEmpty()) {
      clock.Advance(3600000);
      EXPECT_TRUE(instrument.Restarting());
      EXPECT_EQ(instrument.Handle("ENQ").action, SimInstrument::Action::Silent);
      EXPECT_EQ(backs, 0);
      continue;
    }
    EXPECT_FALSE(instrument.Restarting());
    EXPECT_EQ(backs, 1);
    EXPECT_EQ(instrument.Handle("VFL").reply, row.versionAfter);
    EXPECT_EQ(instrument.Handle("FLV").reply, row.typeAfter);
  }
}

TEST(SimInstrument, NamedFaults) {
  SimFaults faults;
  faults.wrongAckAtPage = 2;
  faults.noAckAtPage = 4;
  faults.dropLinkAtPage = 6;
  faults.pfmWithoutAckBye = true;
  SimInstrument ng({9, "9.12", "A", 0}, faults);
  const QByteArray image(49154, '\x55');
  EXPECT_EQ(ng.Handle(Page(2, image, 126)).reply, QByteArray("ACK\x00\x04", 5));
  EXPECT_EQ(ng.Handle(Page(4, image, 126)).action, SimInstrument::Action::Silent);
  EXPECT_EQ(ng.Handle(Page(6, image, 126)).action, SimInstrument::Action::DropLink);
  EXPECT_EQ(ng.Handle("PFM").reply, "NAK");
  EXPECT_FALSE(ng.Programmed());
  ng.SetFaults({});
  EXPECT_EQ(ng.Handle("WAE\x03" + QByteArray(128, '\x11')).reply, "ACK");
  EXPECT_EQ(ng.Handle("WAE\x06" + QByteArray(128, '\x22')).reply, "ACK");
  EXPECT_EQ(ng.Handle("WAE\x09" + QByteArray(3, '\x22')).reply, "ACK");  // outside the loader: kept out
  EXPECT_EQ(ng.LoaderIndexes(), (QList<int>{3, 6, 9}));
  EXPECT_EQ(ng.Loader().left(128), QByteArray(128, '\x11'));
  EXPECT_EQ(ng.Loader().mid(384), QByteArray(128, '\x22'));
  EXPECT_EQ(ng.Handle("PFM").reply, "ACKBYE");
  EXPECT_TRUE(ng.Programmed());
  SimFaults silent;
  silent.silent = true;
  ng.SetFaults(silent);
  EXPECT_EQ(ng.Handle("ENQ").action, SimInstrument::Action::Silent);
}

// A simulator serving for days keeps a record of fixed size: the latest
// commands in order, and counts for the whole session.
TEST(SimDock, TheRecordOfALongSessionStaysBounded) {
  FirmwareRecipe recipe;
  recipe.ng = false;
  recipe.version = "7.61";
  const QByteArray image = MakeFirmware(recipe) + QByteArray(100, '\0');
  SimInstrument instrument({9, "7.61", "P", 0});
  SimDock dock(instrument, {});
  constexpr int kUploads = 3;  // together more commands than are kept
  for (int upload = 0; upload < kUploads; ++upload) {
    dock.ControlReceived("SLV");
    dock.DataReceived("ENQWHOVFLFLV");
    for (int page = 0; page < 521; ++page) dock.DataReceived(Page(page, image, 62));
    dock.DataReceived("PFM");
    dock.ControlReceived("DSC");
  }
  constexpr qsizetype kKept = RecentEntries<QString>::kKept;
  for (int i = 0; i < kKept; ++i) dock.ControlReceived("ADC");  // a dock asked for its battery all day

  EXPECT_EQ(instrument.Commands().size(), kKept);
  EXPECT_EQ(instrument.Commands().last(), "PFM");
  EXPECT_EQ(instrument.CommandsReceived(), kUploads * (4 + 521 + 1));
  EXPECT_EQ(instrument.CountOf("WEP"), kUploads * 521);
  EXPECT_EQ(instrument.CountOf("ENQ"), kUploads);
  EXPECT_EQ(instrument.CountOf("PFM"), kUploads);
  EXPECT_EQ(dock.Commands().size(), kKept);
  EXPECT_EQ(dock.Commands().count(QStringLiteral("ADC")), kKept);  // the uploads' commands have gone
  EXPECT_EQ(dock.CommandsReceived(), 2 * kUploads + kKept);
  EXPECT_EQ(dock.CountOf(QStringLiteral("SLV")), kUploads);
  EXPECT_EQ(dock.CountOf(QStringLiteral("ADC")), kKept);
  EXPECT_EQ(dock.Log().size(), kKept);
  EXPECT_EQ(dock.Log().last(), QStringLiteral("control ADC"));
}

TEST(FramedEndpoint, FindsFramesInAnyCuttingAndAppliesReplyFaults) {
  SimFaults faults;
  faults.noise = true;
  faults.splitReplies = 3;
  SimInstrument instrument({9, "9.12", "A", 0}, faults);
  FramedEndpoint endpoint(instrument);
  QList<QByteArray> blocks;
  endpoint.SendBlock = [&](const QByteArray& block) { blocks << block; };
  const QByteArray enq = frame::WireForm(TKelType::tpZelvoPro, "ENQ");
  endpoint.Received(QByteArray("junk") + enq.left(2));
  EXPECT_TRUE(blocks.isEmpty());
  endpoint.Received(enq.mid(2) + frame::WireForm(TKelType::tpZelvoPro, "WHO"));
  const QByteArray all = blocks.join();
  for (const QByteArray& block : blocks) EXPECT_LE(block.size(), 3);
  const frame::ScannedFrame first = frame::ScanFrame(all);
  ASSERT_TRUE(first.complete);
  EXPECT_EQ(first.body, "ACK");
  EXPECT_EQ(frame::ScanFrame(all, first.next).body, "ACK9");
  EXPECT_TRUE(all.startsWith("\x11\x22noise"));
}
