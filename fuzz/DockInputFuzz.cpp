// The dock's control input decoder alone, straight from memory: no dock, no
// channel, no event loop.
//
// Input: eight bytes that make up the report lengths (for a code, the byte at
// code % 8: 0xFF means "one length byte follows, then that many bytes",
// anything else that value % 8), then inputs, each a length byte and its
// bytes, decoded in order with the left-over of one put before the next.
// Checked, for every input: at most ten reports; a left-over no longer than
// the longest report worth waiting for; every report holds exactly the
// parameter bytes its length asks for, and comes whole from the bytes seen;
// the reply's data are what follows the first "ACK" (up to a report cut off
// at the end, which waits for the next input); the same bytes
// decode the same way again.

#include <array>

#include "FuzzSupport.h"
#include "dock/DockInput.h"

using namespace zelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  std::array<uint8_t, 8> lengths{};
  for (uint8_t& length : lengths) length = in.Byte();
  const DockReportLength lengthOf = [&lengths](char code, QByteArrayView following) -> qsizetype {
    const uint8_t rule = lengths[static_cast<uint8_t>(code) % lengths.size()];
    if (rule != 0xFF) return rule % 8;
    if (following.isEmpty()) return kLengthNotYetKnown;
    return 1 + static_cast<uint8_t>(following[0]);
  };

  QByteArray carried;
  while (!in.AtEnd()) {
    const QByteArray input = in.Piece();
    const DecodedDockInput decoded = DecodeDockInput(carried, input, lengthOf);
    const QByteArray seen = carried + input;

    ZELVO_FUZZ_CHECK(decoded.events.size() <= kMaxEventsPerInput);
    ZELVO_FUZZ_CHECK(decoded.leftOver.size() <= kMaxLeftOver);
    for (const DockEventReport& report : decoded.events) {
      ZELVO_FUZZ_CHECK(lengthOf(report.code, report.parameters) == report.parameters.size());
      ZELVO_FUZZ_CHECK(seen.contains("EVT" + QByteArray(1, report.code) + report.parameters));
    }
    if (decoded.reply == DockReply::Ack) {
      const qsizetype ack = seen.indexOf("ACK");
      ZELVO_FUZZ_CHECK(ack >= 0 && seen.mid(ack + 3, decoded.replyData.size()) == decoded.replyData);
    }
    if (decoded.reply == DockReply::Nak) ZELVO_FUZZ_CHECK(seen.contains("NAK"));
    if (decoded.reply != DockReply::Ack) ZELVO_FUZZ_CHECK(decoded.replyData.isEmpty());

    const DecodedDockInput again = DecodeDockInput(carried, input, lengthOf);
    ZELVO_FUZZ_CHECK(again.events.size() == decoded.events.size() && again.reply == decoded.reply &&
                     again.replyData == decoded.replyData && again.leftOver == decoded.leftOver);
    carried = decoded.leftOver;
  }
  return 0;
}
