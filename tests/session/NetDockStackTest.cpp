// A whole NG upload through a network dock: the link, the instrument
// component and the upload session over the real Kova Express dock component,
// on loopback TCP to the simulated network dock with the simulated instrument
// in it. Each reply arrives while the dock still waits out the pause after the
// message it answers; the next message must not be sent from inside that
// wait, or the stack would grow by one send per page.

#include <gtest/gtest.h>

#include <QFile>
#include <algorithm>
#include <memory>

#include "support/ScriptedDialogs.h"
#include "dock/KovaExpressDock.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "session/UploadSession.h"
#include "sim/dock/SimDock.h"
#include "sim/dock/SimulatedWorld.h"
#include "support/Firmware.h"
#include "support/Pump.h"

using namespace zelvo;
using zelvo::test::RunUntil;

namespace {

// Long enough that every reply comes back during the pause of the send it
// answers (loopback and the simulated instrument answer within a
// millisecond), short enough for a test.
constexpr int kPauseMs = 5;

// The dock as the link sees it, watching how deep each send runs: the
// nesting of SendStr calls and how far down the stack the call is.
class WatchedDock : public ILinkDock {
 public:
  explicit WatchedDock(TKovaExpressDock& dock) : dock_(dock) {}

  struct Send {
    int depth;               // SendStr calls running, this one included
    std::ptrdiff_t stack;    // bytes of stack below the test's frame
  };

  QObject* DockObject() override { return dock_.DockObject(); }
  bool Enabled() const override { return dock_.Enabled(); }
  void SetEnabled(bool enabled) override { dock_.SetEnabled(enabled); }
  void ClearDeviceHalted() override { dock_.ClearDeviceHalted(); }
  bool SetSlaveMode(bool slave, bool& retry) override { return dock_.SetSlaveMode(slave, retry); }
  bool SendDisconnect() override { return dock_.SendDisconnect(); }
  TNotifyEvent& InstrumentConnectedEvent() override { return dock_.InstrumentConnectedEvent(); }
  TNotifyEvent& InstrumentDisconnectedEvent() override { return dock_.InstrumentDisconnectedEvent(); }
  TReceiveMsg& RcvUserDataEvent() override { return dock_.RcvUserDataEvent(); }

  bool SendStr(const QByteArray& data) override {
    const char here = 0;
    ++depth_;
    maxDepth = std::max(maxDepth, depth_);
    if (data.startsWith("WEP")) pages.push_back({depth_, base - &here});
    const bool result = dock_.SendStr(data);
    --depth_;
    return result;
  }

  int Depth() const { return depth_; }

  const char* base = nullptr;
  int maxDepth = 0;
  std::vector<Send> pages;

 private:
  TKovaExpressDock& dock_;
  int depth_ = 0;
};

}  // namespace

TEST(NetDockStack, AWholeNGUploadKeepsTheStackFlat) {
  const char frame = 0;
  ManualClock clock;
  ScriptedDialogs dialogs;
  ScopedDialogs installed{&dialogs};
  test::FirmwareFiles files;
  sim::SimulationSetup setup;
  setup.via = sim::SimVia::NetDock;
  setup.instrument = {9, "9.05", "A", 0};
  sim::SimulatedWorld world(setup);
  QString error;
  if (!world.Start(&error)) GTEST_SKIP() << "no loopback address for the simulated dock: " << qPrintable(error);

  TKovaExpressDock dock;
  dock.SetCommandTimeOut(3000);
  dock.SetTcpSendPauseMs(kPauseMs);
  WatchedDock watched(dock);
  watched.base = &frame;
  TKelLink link;
  TZelvoPro zelvo;
  ApplyDesignTimeValues(link, zelvo);
  link.SetKovaExpressDock(&watched);
  TTimer con, disc, lcd;
  for (TTimer* t : {&con, &disc}) t->SetInterval(100);
  lcd.SetInterval(1000);
  UploadSession session(&zelvo, &link, &con, &disc, &lcd);
  session.SetDock(&dock);
  session.SetUseDock(true);
  session.SetDockAddress(world.DockAddress());
  UploadOutcome outcome = UploadOutcome::None;
  session.OnFinished = [&](UploadOutcome o) { outcome = o; };
  ASSERT_TRUE(RunUntil(clock, [&] { return !link.ReplyTimer()->Enabled(); }, 1000));

  // Replies came back inside the pause: the case that would nest.
  int repliesInsideASend = 0;
  TcpDockChannels& channels = dock.TcpChannels();
  channels.OnDataArrival = [&, inner = channels.OnDataArrival](const QByteArray& data) {
    if (watched.Depth() > 0) ++repliesInsideASend;
    if (inner) inner(data);
  };

  const QString file = files.Make(true, "9.12");
  dialogs.Answer(MsgResult::OK).AnswerFile(file).Answer(MsgResult::Yes);
  session.cbStartClick();
  ASSERT_TRUE(RunUntil(clock, [&] { return outcome != UploadOutcome::None; }));
  EXPECT_EQ(outcome, UploadOutcome::Completed);
  QFile original(file);
  ASSERT_TRUE(original.open(QIODevice::ReadOnly));
  EXPECT_EQ(world.Instrument().RebuiltImage(), original.readAll());

  ASSERT_EQ(watched.pages.size(), 391u);
  EXPECT_GT(repliesInsideASend, 300);
  // Never a send inside a send.
  EXPECT_EQ(watched.maxDepth, 1);
  // The last pages run no deeper than the first ones.
  std::ptrdiff_t early = 0, late = 0;
  for (std::size_t page = 5; page < 20; ++page) early = std::max(early, watched.pages[page].stack);
  for (std::size_t page = 370; page < 391; ++page) late = std::max(late, watched.pages[page].stack);
  EXPECT_GT(early, 0);
  EXPECT_LE(late, early) << "page 10: " << watched.pages[10].stack << " bytes, page 390: "
                         << watched.pages[390].stack << " bytes";
}
