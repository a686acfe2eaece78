// The instrument component's reply handlers (identification, standby, page and
// loader acknowledgements, program command), fed arbitrary replies while the
// component waits for each kind of answer.
//
// One link and one component serve the whole run. The link talks over an
// in-memory transport that takes every write and answers nothing (as a dock
// would, it reports the link at once, without a poll cycle); the input gives
// the replies. Input: steps, each an operation byte (what the component
// is asked to do first, or how long the clock runs on) and a reply (a length
// byte and its bytes), handed to the link's reply event as the link would.
// Checked: no crash and no read outside a reply (the sanitizers watch that);
// a page acknowledgement gives 0 exactly for the page sent, -1 or a
// neighbouring page otherwise; the program command ends in 0 or 1; the
// firmware type is at most one byte.

#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "support/ScriptedDialogs.h"
#include "core/Timer.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "support/MemoryTransport.h"
#include "support/Pump.h"

using namespace zelvo;

namespace {

constexpr int kMaxSteps = 24;

struct World {
  World() : installed(&dialogs) {
    dialogs.SetDefaultQuestionAnswer(MsgResult::No);
    link.SetTransport(&transport);
    link.SetDefaultTimeOut(30);
    zelvo.SetKelLink(&link);
    zelvo.SetTimeOut(5);
    clock.Advance(100);  // the link's start-up probe runs first
  }
  bool Connect() {
    if (link.Connected()) return true;
    zelvo.SetOnline(true);
    return test::RunUntil(clock, [this] { return link.Connected(); }, 60000);
  }

  ManualClock clock;
  ScriptedDialogs dialogs;
  ScopedDialogs installed;
  test::MemoryTransport transport{TransportWire::Dock};
  TKelLink link;
  TZelvoPro zelvo;
};

void WatchPages(World& w) {
  w.zelvo.OnSentEEPage = [&w](QObject*, int result) {
    const int sent = w.zelvo.LastPageNumber();
    ZELVO_FUZZ_CHECK(result == -1 || result == 0 || (result >= 1 && (result == sent || result == sent - 1)));
  };
  w.zelvo.OnProgFlashSent = [](QObject*, int result) { ZELVO_FUZZ_CHECK(result == 0 || result == 1); };
}

void Operate(World& w, uint8_t op, fuzz::Input& in) {
  switch (op % 10) {
    case 0:
    case 1: break;  // the reply goes to whatever the component waits for
    case 2:
      WatchPages(w);
      w.zelvo.WritePage(static_cast<int>(in.Byte()) * 3 - 100, QByteArray(w.zelvo.IsNG() ? 128 : 64, 'p'));
      break;
    case 3: w.zelvo.WriteLoaderChunk(in.Byte() % 5, QByteArray(128, 'l')); break;
    case 4:
      WatchPages(w);
      w.zelvo.SendProgramCommand();
      break;
    case 5: w.zelvo.SetOnline(true); break;
    case 6: w.zelvo.SetOnline(false); break;
    case 7: w.zelvo.StartFlashUpload(); break;
    case 8: w.zelvo.SetIsNG(!w.zelvo.IsNG()); break;
    case 9: w.clock.Advance(100 * (1 + in.Byte() % 80)); break;  // time-outs: re-sends and waits
  }
}

}  // namespace

// The world lives through the whole run, and what it keeps from one input to
// the next (its state, Qt's timer and event bookkeeping) is no leak: without
// this libFuzzer suspects one after most inputs and runs each again under the
// leak checker, at a third of the speed.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args(*argv, *argv + *argc);
  static char noLeakCheck[] = "-detect_leaks=0";
  args.insert(args.begin() + 1, noLeakCheck);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Application();
  static World* world = new World;  // one link for the whole run
  World& w = *world;
  w.dialogs.Clear();

  fuzz::Input in(data, size);
  for (int step = 0; step < kMaxSteps && !in.AtEnd(); ++step) {
    if (!w.Connect()) break;  // the simulated stack never refuses; nothing to judge
    Operate(w, in.Byte(), in);
    const QByteArray reply = in.Piece();
    if (w.link.Connected() && w.link.OnReceiveMsg) w.link.OnReceiveMsg(&w.link, reply);
    ProcessMessages();

    ZELVO_FUZZ_CHECK(w.zelvo.InstFlashType().size() <= 1);
  }
  // Nothing looks at the writes; a run of millions of inputs would fill the
  // memory with them.
  w.transport.writes.clear();
  return 0;
}
