#pragma once
// Decoding of the dock's control input: bytes in, event reports, the reply
// and what is left over for the next input out. No I/O, no message pumping;
// TDockProtocol dispatches what comes out.
//
// One input (one pipe read, one TCP arrival) may hold event reports and a
// reply, found by their three-letter markers anywhere in it:
//   "EVT" code [parameters]   an event report; how many parameter bytes
//                             follow depends on the code (and, for some
//                             codes, on the first of them)
//   "ACK" [data]              the pending command succeeded; its data follow
//   "NAK"                     the pending command failed
// Up to ten event reports are taken, in order of their markers; then the
// first "ACK" (which wins over "NAK").
//
// Reassembly. A report cut off by the end of its input is kept for the next
// input, as is a marker cut in two, but a report never takes bytes that are
// not its own:
//   - a report cut off with another marker after it in the same input was
//     cut for good (noise, a length byte out of range): it is skipped and
//     the reports after it are taken;
//   - a report carried over from the previous input is dropped when the
//     bytes it would take from the new input run into a marker (the new
//     input's own report or reply).

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <functional>

namespace zelvo {

struct DockEventReport {
  char code = 0;
  QByteArray parameters;  // exactly the report's own parameter bytes
};

enum class DockReply { None, Ack, Nak };

struct DecodedDockInput {
  QList<DockEventReport> events;
  DockReply reply = DockReply::None;
  QByteArray replyData;  // what follows the first "ACK", at most kMaxReplyData bytes
  QByteArray leftOver;   // to be put in front of the next input
};

// Parameter bytes of a report with this code, given the bytes that follow
// the code; kLengthNotYetKnown when those bytes do not tell yet.
using DockReportLength = std::function<qsizetype(char code, QByteArrayView following)>;
inline constexpr qsizetype kLengthNotYetKnown = -1;

inline constexpr int kMaxEventsPerInput = 10;
// More than any reply carries (the longest, an LCD line read back, has 16).
inline constexpr qsizetype kMaxReplyData = 64;
// The longest report worth waiting for: marker, code, length byte, 255 bytes.
inline constexpr qsizetype kMaxLeftOver = 3 + 1 + 1 + 255;

// carried: what the previous decoding left over.
DecodedDockInput DecodeDockInput(const QByteArray& carried, const QByteArray& input, const DockReportLength& lengthOf);

}  // namespace zelvo
