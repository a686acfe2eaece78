#include "dock/DockInput.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace zelvo {

namespace {

constexpr std::array<QByteArrayView, 3> kMarkers = {"EVT", "ACK", "NAK"};
enum MarkerIndex { kEvt, kAck, kNak };

// The first occurrence of a three-letter marker at or after from, or -1: the
// first letter found with memchr, then the other two compared, so that a
// long input costs one fast pass per search.
qsizetype Find(QByteArrayView s, QByteArrayView marker, qsizetype from) {
  const qsizetype starts = s.size() - marker.size() + 1;  // places a marker can start at
  for (qsizetype at = std::max<qsizetype>(from, 0); at < starts; ++at) {
    const void* first = std::memchr(s.data() + at, marker[0], static_cast<size_t>(starts - at));
    if (!first) break;
    at = static_cast<const char*>(first) - s.data();
    if (std::memcmp(s.data() + at + 1, marker.data() + 1, static_cast<size_t>(marker.size() - 1)) == 0) return at;
  }
  return -1;
}

// Where each marker next occurs after a position that only moves forward.
// Each marker's position is searched again only once the position has
// passed it, so the input is scanned about once per marker however many
// reports it holds.
class MarkerScan {
 public:
  explicit MarkerScan(QByteArrayView s) : s_(s) { next_.fill(kUnsearched); }

  // The first occurrence of this marker starting after position at.
  qsizetype NextOf(MarkerIndex marker, qsizetype at) {
    qsizetype& next = next_[marker];
    if (next == kUnsearched || (next >= 0 && next <= at)) next = Find(s_, kMarkers[marker], at + 1);
    return next;
  }
  // The first marker of any kind starting after position at, or -1.
  qsizetype NextMarker(qsizetype at) {
    qsizetype first = -1;
    for (const MarkerIndex marker : {kEvt, kAck, kNak}) {
      const qsizetype found = NextOf(marker, at);
      if (found >= 0 && (first < 0 || found < first)) first = found;
    }
    return first;
  }

 private:
  static constexpr qsizetype kUnsearched = -2;
  QByteArrayView s_;
  std::array<qsizetype, 3> next_{};
};

// 1 or 2 bytes at the end that may be the start of a marker cut in two.
qsizetype CutMarkerLength(QByteArrayView s) {
  for (qsizetype n = 2; n >= 1; --n) {
    if (s.size() < n) continue;
    const QByteArrayView tail = s.last(n);
    for (QByteArrayView marker : kMarkers)
      if (marker.startsWith(tail)) return n;
  }
  return 0;
}

}  // namespace

DecodedDockInput DecodeDockInput(const QByteArray& carried, const QByteArray& input, const DockReportLength& lengthOf) {
  DecodedDockInput out;
  const QByteArray joined = carried.isEmpty() ? input : carried + input;
  QByteArrayView s(joined);
  const qsizetype carriedEnd = carried.size();
  MarkerScan scan(s);

  qsizetype at = -1;
  for (int found = 0; found < kMaxEventsPerInput; ++found) {
    at = scan.NextOf(kEvt, at);
    if (at < 0) break;
    const qsizetype codeAt = at + 3;
    qsizetype end = -1;  // one past the report's last byte; -1 while unknown
    if (codeAt < s.size()) {
      const qsizetype length = lengthOf(s[codeAt], s.sliced(codeAt + 1));
      if (length != kLengthNotYetKnown) end = codeAt + 1 + length;
    }
    const bool complete = end > codeAt && end <= s.size();
    const qsizetype nextMarker = scan.NextMarker(at);
    if (!complete) {
      if (nextMarker >= 0) continue;  // cut for good: the next report is not its to take
      if (s.size() - at <= kMaxLeftOver) out.leftOver = s.sliced(at).toByteArray();
      s.truncate(at);
      break;
    }
    // Begun in the previous input: it must end before the new input's next
    // marker.
    if (at < carriedEnd && nextMarker >= 0 && nextMarker < end) continue;
    out.events.append({s[codeAt], s.sliced(codeAt + 1, end - codeAt - 1).toByteArray()});
  }

  // A reply cannot start inside a report cut off at the end: that report's
  // marker starts where s now ends.
  const qsizetype ack = Find(s, kMarkers[kAck], 0);
  if (ack >= 0) {
    out.reply = DockReply::Ack;
    out.replyData = s.sliced(ack + 3).first(std::min<qsizetype>(s.size() - ack - 3, kMaxReplyData)).toByteArray();
  } else if (Find(s, kMarkers[kNak], 0) >= 0) {
    out.reply = DockReply::Nak;
  } else if (out.leftOver.isEmpty()) {
    const qsizetype cut = CutMarkerLength(s);
    if (cut > 0) out.leftOver = s.last(cut).toByteArray();
  }
  return out;
}

}  // namespace zelvo
