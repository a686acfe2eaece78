#include "link/FrameCodec.h"

#include "core/Bytes.h"

namespace zelvo::frame {

namespace {
inline unsigned char U8(char c) { return static_cast<unsigned char>(c); }
inline bool NeedsEscape(unsigned char b) { return b == kStart || b == kEnd || b == kEscape; }
}  // namespace

FrameGroup GroupOf(TKelType type) {
  switch (Ordinal(type)) {
    case 3:
    case 4:
    case 5: return FrameGroup::Framed;
    case 7:
    case 8: return FrameGroup::Indexed;
    default: return FrameGroup::Plain;
  }
}

bool HasChecksum(TKelType type) { return Ordinal(type) == 5; }

quint16 Checksum(const QByteArray& message) {
  quint16 sum = 0;
  for (char c : message) sum = static_cast<quint16>(sum + U8(c));
  return sum;
}

QByteArray Escape(const QByteArray& body) {
  QByteArray out;
  out.reserve(body.size() + body.size() / 8 + 2);
  for (char c : body) {
    const unsigned char b = U8(c);
    if (NeedsEscape(b)) {
      out.append(static_cast<char>(kEscape));
      out.append(static_cast<char>(b ^ kEscapeXor));
    } else {
      out.append(c);
    }
  }
  return out;
}

QByteArray Frame(const QByteArray& message, bool withChecksum) {
  QByteArray body = message;
  if (withChecksum) {
    const quint16 sum = Checksum(message);
    body.append(static_cast<char>(sum >> 8));
    body.append(static_cast<char>(sum & 0xFF));
  }
  QByteArray out;
  out.append(static_cast<char>(kStart));
  out.append(Escape(body));
  out.append(static_cast<char>(kEnd));
  return out;
}

char NextMessageIndex(char current) {
  if (current < '0' || current >= '9') return '0';
  return static_cast<char>(current + 1);
}

QByteArray WithMessageIndex(const QByteArray& message, char index) {
  QByteArray copy = message;
  if (copy.size() >= 4) copy[3] = index;
  return copy;
}

QByteArray WireForm(TKelType type, const QByteArray& message) {
  if (GroupOf(type) == FrameGroup::Framed) return Frame(message, HasChecksum(type));
  return message;
}

IrdaWrites CutForIrda(TKelType type, const QByteArray& wire, bool wholeFrameMode) {
  IrdaWrites result;
  const QByteArray control(1, static_cast<char>(kControl));
  if (GroupOf(type) != FrameGroup::Framed) {
    result.writes.append(wire);
    return result;
  }
  if (wholeFrameMode) {
    // Family 4 keeps its control byte; 3 and 5 go without.
    result.writes.append(type == TKelType::tpZelvoPro ? control + wire : wire);
    return result;
  }
  result.waitBetween = true;
  for (qsizetype at = 0; at < wire.size(); at += kIrdaPiece) result.writes.append(control + wire.mid(at, kIrdaPiece));
  if (result.writes.isEmpty()) result.writes.append(control);  // never happens: a frame has its markers
  return result;
}

bool GatherBlock(ReceiveState& state, const QByteArray& block, BlockSource source) {
  // IrDA blocks start with the peer's control-length byte.
  const QByteArray data = source == BlockSource::IrdaSocket ? block.mid(1) : block;
  if (data.contains(static_cast<char>(kStart)))
    state.receiveBuffer = data;
  else
    state.receiveBuffer.append(data);
  if (data.contains(static_cast<char>(kEnd))) state.frameComplete = true;
  const bool serial = source == BlockSource::SerialPort;
  if (state.receiveBuffer.size() > (serial ? kSerialBufferLimit : kIrdaBufferLimit)) {
    state.receiveBuffer.clear();
    return !serial;
  }
  return true;
}

// Frame layout (framed families 3, 4 and 5):
//
//   +------+---------------------------------------+------+
//   | 0xE6 | body, escaped                         | 0xE7 |
//   +------+---------------------------------------+------+
//   body: family 3, 4: the message
//         family 5:    the message, then its 16-bit sum (high byte, low byte)
//   escape: 0xE8 before a body byte equal to 0xE6, 0xE7 or 0xE8, which then
//           follows XOR 0x20 (E6 -> E8 C6, E7 -> E8 C7, E8 -> E8 C8)
//
// There is no length field; the markers alone give the extent. A second 0xE6
// inside a frame is plain data. An 0xE7 right after 0xE8 still ends the frame
// (the pending escape is dropped).
ScannedFrame ScanFrame(const QByteArray& bytes, qsizetype from) {
  ScannedFrame frame;
  if (from < 0) from = 0;
  if (from >= bytes.size()) return frame;
  const qsizetype start = bytes.indexOf(static_cast<char>(kStart), from);
  if (start < 0) return frame;
  frame.start = start;
  bool escaped = false;
  for (qsizetype i = start + 1; i < bytes.size(); ++i) {
    const unsigned char b = U8(bytes.at(i));
    if (b == kEnd) {
      frame.complete = true;
      frame.next = i + 1;
      return frame;
    }
    if (escaped) {
      frame.body.append(static_cast<char>(b ^ kEscapeXor));
      escaped = false;
    } else if (b == kEscape) {
      escaped = true;
    } else {
      frame.body.append(static_cast<char>(b));
    }
  }
  frame.body.clear();
  return frame;
}

std::optional<QByteArray> CheckedMessage(const QByteArray& body) {
  if (body.size() < 2) return std::nullopt;
  const QByteArray message = body.left(body.size() - 2);
  const quint16 sent = BigEndian16At(body, body.size() - 2);
  if (sent != Checksum(message)) return std::nullopt;
  return message;
}

qsizetype FirstFrameExtent(const QByteArray& bytes) {
  const ScannedFrame frame = ScanFrame(bytes);
  return frame.complete ? frame.next : bytes.size();
}

std::optional<QByteArray> ExtractFrame(ReceiveState& state, bool withChecksum) {
  state.frameComplete = false;
  const ScannedFrame frame = ScanFrame(state.receiveBuffer);
  if (!frame.complete) return std::nullopt;
  std::optional<QByteArray> reply = withChecksum ? CheckedMessage(frame.body) : std::optional<QByteArray>(frame.body);
  // A delivered frame is used up: a later block with only an end marker must
  // not bring the same reply back a second time. What came after it in the
  // same block (the instrument's "ACKBYE" right behind a page's "ACK") is
  // kept, and is a reply of its own once it holds an end marker.
  if (reply) {
    state.receiveBuffer.remove(0, frame.next);
    state.frameComplete = state.receiveBuffer.contains(static_cast<char>(kEnd));
  }
  return reply;
}

}  // namespace zelvo::frame
