// The Kova Express dock's control input: event reports ("EVT", a code, its
// parameter bytes) and the reply ("ACK" with what follows it, or "NAK"), in
// inputs of any length and content, cut anywhere.
//
// Input: one byte of settings (what the pending command expects after "ACK",
// whether the command timer runs, what the event handlers do), then control
// inputs, each a length byte and its bytes, handed to the dock the way its
// control channel hands over one arrival. A fresh dock per input.
// Checked: at most ten event reports per control input; the first input, when
// no report comes before its "ACK", acknowledges the command, stops the
// timer and stores the reply data (the ADC bytes reversed, the slave answer,
// up to 16 LCD characters); a "NAK" alone fails it; a handler that feeds
// another input or frees the dock leaves nothing behind to crash on.

#include <QPointer>

#include "FuzzSupport.h"
#include "support/ScriptedDialogs.h"
#include "dock/KovaExpressDock.h"

using namespace zelvo;

namespace {

class FuzzedDock : public TKovaExpressDock {
 public:
  using TDockProtocol::SetReplyKind;  // as the command operations set it
};

struct Handlers {
  int depth = 0;       // control inputs being parsed, nested ones included
  int events = 0;      // reports handled by the outermost input
  bool feedNested = false;
  bool freeOnRemoved = false;
  QByteArray nested;   // fed from inside the first report's handler
};

void Count(Handlers& h) {
  if (h.depth == 1) ++h.events;
}

void Connect(FuzzedDock* dock, Handlers& h) {
  QPointer<FuzzedDock> guard(dock);
  const auto notify = [&h, guard](QObject*) {
    Count(h);
    if (h.feedNested && guard && !h.nested.isEmpty()) {
      const QByteArray nested = std::exchange(h.nested, QByteArray());
      ++h.depth;
      guard->TcpChannels().OnControlInput(nested);
      --h.depth;
    }
  };
  dock->OnPumpLowFlow = notify;
  dock->OnInstrumentConnected = notify;
  dock->OnInstrumentDisconnected = notify;
  dock->OnDeviceInRange = notify;
  dock->OnFailedToConnect = notify;
  dock->OnMultipleTCPConnections = notify;
  dock->OnDeviceRemoved = [&h, guard](QObject*) {
    Count(h);
    if (h.freeOnRemoved && guard) delete guard.data();
  };
  dock->OnTestCompleted = [&h](QObject*, TKovaExpressDock::TTestResult) { Count(h); };
  dock->OnStateChange = [&h](QObject*, TKovaExpressDock::TDockState) { Count(h); };
  dock->OnSpanCalibration = [&h](QObject*, TKovaExpressDock::TSpanCalDueTo) { Count(h); };
  dock->OnGotGasReading = [&h](QObject*, qint16) { Count(h); };
  dock->OnAudioTest = [&h](QObject*, int low, int peak) {
    Count(h);
    ZELVO_FUZZ_CHECK(low >= 0 && low <= 255 && peak >= 0 && peak <= 255);
  };
  dock->OnDebugMessage = [&h](QObject*, const QByteArray& message) {
    Count(h);
    ZELVO_FUZZ_CHECK(message.size() <= 255);
  };
  dock->OnEmailDelivered = [&h](QObject*, bool) { Count(h); };
  dock->OnDebugRcvControlData = [](QObject*, const QByteArray&) {};
}

// What the first input, parsed by a fresh dock, must have left.
void CheckFirstReply(const FuzzedDock& dock, const QByteArray& input, TReplyKind kind) {
  const qsizetype ack = input.indexOf("ACK");
  const qsizetype evt = input.indexOf("EVT");
  if (ack >= 0 && (evt < 0 || ack < evt)) {
    ZELVO_FUZZ_CHECK(dock.CommandStatus() == TCommandStatus::csAcked);
    ZELVO_FUZZ_CHECK(!const_cast<FuzzedDock&>(dock).CommandTimer().Enabled());
    if (evt >= 0) return;  // a report after the reply has its marker blanked
    const QByteArray data = input.mid(ack + 3);
    switch (kind) {
      case TReplyKind::rkADC:
        for (int i = 0; i < 8; ++i)
          ZELVO_FUZZ_CHECK(dock.ADCData()[7 - i] == (i < data.size() ? static_cast<quint8>(data[i]) : 0));
        break;
      case TReplyKind::rkSlaveMode: ZELVO_FUZZ_CHECK(dock.SlaveBusy() == data.startsWith('B')); break;
      case TReplyKind::rkLCDText: ZELVO_FUZZ_CHECK(dock.LCDReadBack() == data.left(16)); break;
      case TReplyKind::rkNone: break;
    }
  } else if (ack < 0 && evt < 0 && input.contains("NAK")) {
    ZELVO_FUZZ_CHECK(dock.CommandStatus() == TCommandStatus::csFailed);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Application();
  static ScriptedDialogs* dialogs = new ScriptedDialogs;
  static ScopedDialogs* installed = new ScopedDialogs(dialogs);
  (void)installed;
  dialogs->Clear();

  fuzz::Input in(data, size);
  const uint8_t settings = in.Byte();
  const TReplyKind kind = static_cast<TReplyKind>(settings & 0x03);
  Handlers h;
  h.feedNested = settings & 0x08;
  h.freeOnRemoved = settings & 0x10;
  if (h.feedNested) h.nested = in.Piece();

  QPointer<FuzzedDock> dock = new FuzzedDock;
  Connect(dock, h);
  dock->SetReplyKind(kind);
  if (settings & 0x04) dock->CommandTimer().SetEnabled(true);

  for (bool first = true; dock && !in.AtEnd(); first = false) {
    const QByteArray input = in.Piece();
    h.events = 0;
    const bool nestedLeft = !h.nested.isEmpty();
    h.depth = 1;
    dock->TcpChannels().OnControlInput(input);
    h.depth = 0;
    ZELVO_FUZZ_CHECK(h.events <= zelvo::kMaxEventsPerInput);
    // A nested input or a freed dock changes what the first one leaves.
    if (dock && first && (!nestedLeft || !h.nested.isEmpty())) CheckFirstReply(*dock, input, kind);
  }
  delete dock.data();
  return 0;
}
