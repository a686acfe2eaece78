#pragma once
// Link frame codec: the bytes of one message on a direct transport (IrDA
// socket or serial port) and the gathering and unframing of what comes back.
// Plain functions, no I/O; the link and the simulated instrument both use them.

#include <QByteArray>
#include <QList>
#include <optional>

#include "link/LinkTypes.h"

namespace zelvo::frame {

inline constexpr unsigned char kStart = 0xE6;    // first byte of a frame
inline constexpr unsigned char kEnd = 0xE7;      // last byte of a frame
inline constexpr unsigned char kEscape = 0xE8;   // next byte is XOR kEscapeXor
inline constexpr unsigned char kEscapeXor = 0x20;
inline constexpr unsigned char kControl = 0x00;  // leads IrDA writes (no control parameters)
inline constexpr int kIrdaPiece = 40;            // framed bytes per IrDA write
inline constexpr qsizetype kSerialBufferLimit = 1024;
// Over IrDA far more than any reply: bytes a peer sends without a start
// marker are gathered up to this, then dropped.
inline constexpr qsizetype kIrdaBufferLimit = 64 * 1024;

enum class FrameGroup { Plain, Framed, Indexed };

// Framed: 3, 4, 5. Indexed: 7, 8. Plain: the others.
FrameGroup GroupOf(TKelType type);
// Only family 5 carries the 16-bit sum inside the frame.
bool HasChecksum(TKelType type);

// Sum of the bytes as unsigned values, modulo 65536.
quint16 Checksum(const QByteArray& message);
// 0xE6, 0xE7 and 0xE8 become 0xE8 followed by the byte XOR 0x20.
QByteArray Escape(const QByteArray& body);
// 0xE6, escaped message (and sum, high byte first, when withChecksum), 0xE7.
QByteArray Frame(const QByteArray& message, bool withChecksum);

// Message index of the indexed families: "0".."9", "9" wraps to "0".
inline constexpr char kFirstMessageIndex = '9';  // value at creation
char NextMessageIndex(char current);
// A copy of message with index written into its fourth byte. A message of
// fewer than four bytes has no fourth byte and is returned unchanged.
QByteArray WithMessageIndex(const QByteArray& message, char index);

// Wire form W of a message: framed for families 3 to 5, the message itself
// otherwise (an indexed message must already carry its index).
QByteArray WireForm(TKelType type, const QByteArray& message);

// The writes that put W on the IrDA socket, in order. waitBetween: the link
// waits for the socket's send buffer to drain after every write but the last.
struct IrdaWrites {
  QList<QByteArray> writes;
  bool waitBetween = false;
};
IrdaWrites CutForIrda(TKelType type, const QByteArray& wire, bool wholeFrameMode);

// Gathering state of framed replies.
struct ReceiveState {
  QByteArray receiveBuffer;
  bool frameComplete = false;
};

enum class BlockSource { IrdaSocket, SerialPort };

// Gathers one received block. Returns false when the serial limit emptied the
// buffer: the caller then stops its reply timer. The IrDA limit empties it
// and leaves the reply timer running.
bool GatherBlock(ReceiveState& state, const QByteArray& block, BlockSource source);

// One frame found by ScanFrame.
struct ScannedFrame {
  bool complete = false;  // a start marker followed (later) by an end marker
  QByteArray body;        // unescaped bytes between the markers
  qsizetype start = -1;   // index of the start marker, -1 when none
  qsizetype next = 0;     // index just after the end marker (complete frames)
};
// The first frame at or after index from. Never reads outside bytes.
ScannedFrame ScanFrame(const QByteArray& bytes, qsizetype from = 0);

// Splits the body of a family-5 frame into message and sum; nothing when the
// body is shorter than two bytes or the sum does not match.
std::optional<QByteArray> CheckedMessage(const QByteArray& body);

// Takes the reply out of the gathered buffer (only meaningful while
// frameComplete is set). A delivered reply takes its frame out of the buffer;
// what follows it stays, with frameComplete set again when it holds an end
// marker (a second frame of the same block, delivered next). Without a reply
// frameComplete is cleared and the buffer keeps its content until a block
// with a start marker replaces it. Returns the reply, or nothing.
std::optional<QByteArray> ExtractFrame(ReceiveState& state, bool withChecksum);
// The bytes one extraction handles: up to the end of the first complete
// frame, or all of them when there is none (what the trace shows of them).
qsizetype FirstFrameExtent(const QByteArray& bytes);

}  // namespace zelvo::frame
