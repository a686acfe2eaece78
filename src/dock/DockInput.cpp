#include "dock/DockInput.h"

#include <algorithm>

namespace zelvo {

namespace {

constexpr QByteArrayView kMarkers[] = {"EVT", "ACK", "NAK"};

// The first marker starting after position from (exclusive), or -1.
qsizetype NextMarker(const QByteArray& s, qsizetype from) {
  qsizetype first = -1;
  for (QByteArrayView marker : kMarkers) {
    const qsizetype at = s.indexOf(marker, from + 1);
    if (at >= 0 && (first < 0 || at < first)) first = at;
  }
  return first;
}

// 1 or 2 bytes at the end that may be the start of a marker cut in two.
qsizetype CutMarkerLength(const QByteArray& s) {
  for (qsizetype n = 2; n >= 1; --n) {
    if (s.size() < n) continue;
    const QByteArrayView tail = QByteArrayView(s).last(n);
    for (QByteArrayView marker : kMarkers)
      if (marker.startsWith(tail)) return n;
  }
  return 0;
}

}  // namespace

DecodedDockInput DecodeDockInput(const QByteArray& carried, const QByteArray& input, const DockReportLength& lengthOf) {
  DecodedDockInput out;
  QByteArray s = carried + input;
  const qsizetype carriedEnd = carried.size();

  qsizetype at = -1;
  for (int found = 0; found < kMaxEventsPerInput; ++found) {
    at = s.indexOf("EVT", at + 1);
    if (at < 0) break;
    const qsizetype codeAt = at + 3;
    qsizetype end = -1;  // one past the report's last byte; -1 while unknown
    if (codeAt < s.size()) {
      const qsizetype length = lengthOf(s[codeAt], QByteArrayView(s).sliced(codeAt + 1));
      if (length != kLengthNotYetKnown) end = codeAt + 1 + length;
    }
    const bool complete = end >= 0 && end <= s.size();
    const qsizetype nextMarker = NextMarker(s, at);
    if (!complete) {
      if (nextMarker >= 0) continue;  // cut for good: the next report is not its to take
      if (s.size() - at <= kMaxLeftOver) out.leftOver = s.mid(at);
      s.truncate(at);
      break;
    }
    // Begun in the previous input: it must end before the new input's next
    // marker.
    if (at < carriedEnd && nextMarker >= 0 && nextMarker < end) continue;
    out.events.append({s[codeAt], s.mid(codeAt + 1, end - codeAt - 1)});
  }

  const qsizetype ack = s.indexOf("ACK");
  if (ack >= 0) {
    out.reply = DockReply::Ack;
    out.replyData = s.mid(ack + 3);
  } else if (s.contains("NAK")) {
    out.reply = DockReply::Nak;
  } else if (out.leftOver.isEmpty()) {
    const qsizetype cut = CutMarkerLength(s);
    if (cut > 0) out.leftOver = s.right(cut);
  }
  return out;
}

}  // namespace zelvo
