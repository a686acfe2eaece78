#include "sim/instrument/FramedEndpoint.h"

#include <QTimer>

#include "link/FrameCodec.h"

namespace zelvo::sim {

FramedEndpoint::FramedEndpoint(SimInstrument& instrument, QObject* parent)
    : QObject(parent), instrument_(instrument) {}

void FramedEndpoint::Received(const QByteArray& bytes) {
  pending_.append(bytes);
  for (;;) {
    const frame::ScannedFrame found = frame::ScanFrame(pending_);
    if (found.start < 0) {
      pending_.clear();  // nothing framed: bytes between frames are dropped
      return;
    }
    if (!found.complete) {
      pending_.remove(0, found.start);  // keep the frame begun so far
      return;
    }
    pending_.remove(0, found.next);
    const SimInstrument::Outcome outcome = instrument_.Handle(found.body);
    switch (outcome.action) {
      case SimInstrument::Action::Silent:
        break;
      case SimInstrument::Action::DropLink:
        pending_.clear();
        if (DropLink) DropLink();
        return;
      case SimInstrument::Action::Reply:
        Answer(outcome.reply);
        break;
    }
  }
}

void FramedEndpoint::Answer(const QByteArray& reply) {
  const SimFaults& faults = instrument_.Faults();
  QByteArray wire = frame::WireForm(TKelType::tpZelvoPro, reply);
  if (faults.noise) wire = QByteArray("\x11\x22noise") + wire + QByteArray("\x33");
  QList<QByteArray> blocks;
  if (faults.splitReplies > 0) {
    for (qsizetype at = 0; at < wire.size(); at += faults.splitReplies) blocks << wire.mid(at, faults.splitReplies);
  } else {
    blocks << wire;
  }
  const bool ends = reply == "ACKBYE";
  auto deliver = [this, blocks, ends] {
    for (const QByteArray& block : blocks)
      if (SendBlock) SendBlock(block);
    if (ends && SessionEnded) SessionEnded();
  };
  if (faults.replyDelayMs > 0)
    QTimer::singleShot(faults.replyDelayMs, this, deliver);
  else
    deliver();
}

}  // namespace zelvo::sim
