// Frame gathering and extraction of the framed families (3, 4, 5), on the
// serial and the IrDA path, as the link runs them on received blocks.
//
// Input: one byte of settings (family, block source, IrDA whole-frame mode),
// one byte of piece size, then blocks, each a length byte and its bytes.
// Checked: gathering keeps the serial limit, extraction always clears the
// completion flag and a delivered reply empties the buffer; every scanned frame
// lies inside the bytes; and the blocks read as a message go out framed and
// come back unchanged, cut into pieces as a peer would send them.

#include <cstring>

#include "FuzzSupport.h"
#include "link/FrameCodec.h"

using namespace zelvo;
using namespace zelvo::frame;

namespace {

void CheckScanStaysInside(const QByteArray& bytes) {
  qsizetype from = 0;
  for (;;) {
    const ScannedFrame f = ScanFrame(bytes, from);
    ZELVO_FUZZ_CHECK(f.start < bytes.size());
    if (!f.complete) {
      ZELVO_FUZZ_CHECK(f.body.isEmpty());
      return;
    }
    ZELVO_FUZZ_CHECK(f.start >= from && f.next > f.start && f.next <= bytes.size());
    ZELVO_FUZZ_CHECK(f.body.size() <= f.next - f.start - 2);
    from = f.next;
  }
}

// The message framed for the family, cut into blocks as the instrument would
// send them (each IrDA block led by its control byte), must gather and extract
// back to itself.
void CheckRoundTrip(TKelType type, BlockSource source, const QByteArray& message, const QByteArray& wire,
                    int pieceSize) {
  ZELVO_FUZZ_CHECK(wire.size() >= 2 && static_cast<unsigned char>(wire.front()) == kStart &&
                   static_cast<unsigned char>(wire.back()) == kEnd);
  ReceiveState state;
  // One buffer for every block: the control byte, then the piece.
  const qsizetype lead = source == BlockSource::IrdaSocket ? 1 : 0;
  QByteArray block(lead + pieceSize, '\0');
  for (qsizetype at = 0; at < wire.size(); at += pieceSize) {
    const qsizetype count = qMin<qsizetype>(pieceSize, wire.size() - at);
    block.resize(lead + count);
    std::memcpy(block.data() + lead, wire.constData() + at, static_cast<size_t>(count));
    GatherBlock(state, block, source);
  }
  ZELVO_FUZZ_CHECK(state.frameComplete);
  const std::optional<QByteArray> reply = ExtractFrame(state, HasChecksum(type));
  ZELVO_FUZZ_CHECK(reply && *reply == message);
  ZELVO_FUZZ_CHECK(state.receiveBuffer.isEmpty());
}

// What the link puts on the IrDA socket is the wire form, cut into pieces
// each led by a control byte (whole-frame mode: one write).
void CheckIrdaWrites(TKelType type, const QByteArray& wire, bool wholeFrameMode) {
  const IrdaWrites w = CutForIrda(type, wire, wholeFrameMode);
  QByteArray joined;
  for (const QByteArray& write : w.writes) {
    const bool led = !wholeFrameMode || type == TKelType::tpZelvoPro;
    if (!wholeFrameMode) ZELVO_FUZZ_CHECK(write.size() <= kIrdaPiece + 1);
    if (led) ZELVO_FUZZ_CHECK(!write.isEmpty() && write.front() == static_cast<char>(kControl));
    joined += led ? write.mid(1) : write;
  }
  ZELVO_FUZZ_CHECK(joined == wire);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t settings = in.Byte();
  const TKelType type = static_cast<TKelType>(3 + settings % 3);
  const BlockSource source = settings & 0x04 ? BlockSource::SerialPort : BlockSource::IrdaSocket;
  const bool wholeFrameMode = settings & 0x08;
  const int pieceSize = 1 + in.Byte() % 64;

  ReceiveState state;
  QByteArray everything;
  while (!in.AtEnd()) {
    const QByteArray block = in.Piece();
    everything += block;
    const bool kept = GatherBlock(state, block, source);
    if (source == BlockSource::SerialPort) {
      ZELVO_FUZZ_CHECK(state.receiveBuffer.size() <= kSerialBufferLimit);
      if (!kept) ZELVO_FUZZ_CHECK(state.receiveBuffer.isEmpty());
    } else {
      ZELVO_FUZZ_CHECK(kept);
    }
    while (state.frameComplete) {  // each frame of the block in turn
      const qsizetype before = state.receiveBuffer.size();
      const std::optional<QByteArray> reply = ExtractFrame(state, HasChecksum(type));
      if (reply)
        ZELVO_FUZZ_CHECK(state.receiveBuffer.size() < before &&
                         state.frameComplete == state.receiveBuffer.contains(static_cast<char>(kEnd)));
      else
        ZELVO_FUZZ_CHECK(!state.frameComplete);
    }
  }
  CheckScanStaysInside(everything);
  CheckedMessage(everything);

  // Long enough for many pieces, short enough that even fully escaped it
  // stays inside the serial limit.
  const QByteArray message = everything.left(400);
  const QByteArray wire = WireForm(type, message);
  CheckRoundTrip(type, source, message, wire, pieceSize);
  CheckIrdaWrites(type, wire, wholeFrameMode);
  return 0;
}
