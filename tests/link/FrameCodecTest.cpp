// Literal bytes of the link frame: building, cutting for IrDA, gathering and
// extraction.
#include <gtest/gtest.h>

#include "link/FrameCodec.h"

using namespace zelvo;
using namespace zelvo::frame;

namespace {
QByteArray H(const char* hex) { return QByteArray::fromHex(hex); }
}  // namespace

TEST(FrameCodec, WorkedExamples) {
  EXPECT_EQ(WireForm(TKelType::tpZelvoPro, "ENQ"), H("E6454E51E7"));
  EXPECT_EQ(CutForIrda(TKelType::tpZelvoPro, H("E6454E51E7"), false).writes, QList<QByteArray>{H("00E6454E51E7")});
  EXPECT_EQ(WireForm(TKelType::tpZelvoPro, H("41E742")), H("E641E8C742E7"));
  EXPECT_EQ(Checksum("abc"), 0x0126);
  EXPECT_EQ(WireForm(TKelType::tpKel5, "abc"), H("E6616263" "0126" "E7"));
  EXPECT_EQ(CutForIrda(TKelType::tpKel5, H("E66162630126E7"), false).writes, QList<QByteArray>{H("00E66162630126E7")});
  EXPECT_EQ(WireForm(TKelType::tpKel3, H("00E8")), H("E600E8C8E7"));
}

TEST(FrameCodec, GroupsAndPlainForms) {
  for (int o = 0; o <= 8; ++o) {
    const auto t = static_cast<TKelType>(o);
    const FrameGroup expected = (o >= 3 && o <= 5) ? FrameGroup::Framed : (o == 7 || o == 8) ? FrameGroup::Indexed : FrameGroup::Plain;
    EXPECT_EQ(GroupOf(t), expected) << o;
    if (expected != FrameGroup::Framed) {
      EXPECT_EQ(WireForm(t, H("E6E7E800")), H("E6E7E800")) << o;
    }
  }
  // Plain and indexed go to the IrDA socket in one write, nothing added.
  const IrdaWrites w = CutForIrda(TKelType::tpKel7, "ABC0", false);
  EXPECT_EQ(w.writes, QList<QByteArray>{"ABC0"});
  EXPECT_FALSE(w.waitBetween);
}

TEST(FrameCodec, EscapesEveryMarkerAndSumBytes) {
  QByteArray all;
  for (int b = 0; b < 256; ++b) all.append(static_cast<char>(b));
  const QByteArray wire = WireForm(TKelType::tpZelvoPro, all);
  const QByteArray inner = wire.mid(1, wire.size() - 2);
  EXPECT_EQ(wire.size(), 256 + 3 + 2);
  for (qsizetype i = 0; i < inner.size(); ++i) {
    const auto b = static_cast<unsigned char>(inner[i]);
    EXPECT_FALSE(b == 0xE6 || b == 0xE7) << i;
    if (b == 0xE8) {
      ASSERT_LT(i + 1, inner.size());
      const auto n = static_cast<unsigned char>(inner[++i]);
      EXPECT_TRUE(n == 0xC6 || n == 0xC7 || n == 0xC8);
    }
  }
  EXPECT_TRUE(inner.contains('\0'));
  // A sum whose bytes are markers is escaped like the body.
  QByteArray m(static_cast<int>(0xE6E7 / 0xFF), '\xFF');
  m.append(static_cast<char>(0xE6E7 - m.size() * 0xFF));
  ASSERT_EQ(Checksum(m), 0xE6E7);
  const QByteArray framed = Frame(m, true);
  EXPECT_TRUE(framed.endsWith(H("E8C6E8C7E7")));
  // Round trip.
  ReceiveState s;
  GatherBlock(s, QByteArray(1, '\0') + framed, BlockSource::IrdaSocket);
  EXPECT_EQ(ExtractFrame(s, true), std::optional<QByteArray>(m));
}

TEST(FrameCodec, EmptyMessageAndChecksumWrapsAt16Bits) {
  EXPECT_EQ(WireForm(TKelType::tpZelvoPro, {}), H("E6E7"));
  EXPECT_EQ(CutForIrda(TKelType::tpZelvoPro, H("E6E7"), false).writes, QList<QByteArray>{H("00E6E7")});
  ReceiveState s;
  GatherBlock(s, H("00E6E7"), BlockSource::IrdaSocket);
  EXPECT_EQ(ExtractFrame(s, false), std::optional<QByteArray>(QByteArray()));
  EXPECT_EQ(Checksum(QByteArray(300, '\xFF')), static_cast<quint16>((300 * 255) & 0xFFFF));
}

TEST(FrameCodec, IrdaCuttingAt40And41Bytes) {
  const QByteArray wire40 = Frame(QByteArray(38, 'x'), false);
  ASSERT_EQ(wire40.size(), 40);
  IrdaWrites w = CutForIrda(TKelType::tpZelvoPro, wire40, false);
  ASSERT_EQ(w.writes.size(), 1);
  EXPECT_EQ(w.writes[0].size(), 41);
  EXPECT_EQ(w.writes[0], QByteArray(1, '\0') + wire40);

  const QByteArray wire41 = Frame(QByteArray(39, 'y'), false);
  w = CutForIrda(TKelType::tpZelvoPro, wire41, false);
  ASSERT_EQ(w.writes.size(), 2);
  EXPECT_TRUE(w.waitBetween);
  EXPECT_EQ(w.writes[0], QByteArray(1, '\0') + wire41.left(40));
  EXPECT_EQ(w.writes[1], H("00E7"));

  const QByteArray wire100 = Frame(QByteArray(98, 'z'), false);
  w = CutForIrda(TKelType::tpKel3, wire100, false);
  ASSERT_EQ(w.writes.size(), 3);
  EXPECT_EQ(w.writes[2].size(), 21);
}

TEST(FrameCodec, WholeFrameMode) {
  const QByteArray wire = Frame(QByteArray(100, 'a'), false);
  IrdaWrites w = CutForIrda(TKelType::tpZelvoPro, wire, true);
  EXPECT_EQ(w.writes, QList<QByteArray>{QByteArray(1, '\0') + wire});
  EXPECT_FALSE(w.waitBetween);
  EXPECT_EQ(CutForIrda(TKelType::tpKel3, wire, true).writes, QList<QByteArray>{wire});
  EXPECT_EQ(CutForIrda(TKelType::tpKel5, wire, true).writes, QList<QByteArray>{wire});
}

TEST(FrameCodec, MessageIndex) {
  char index = kFirstMessageIndex;
  index = NextMessageIndex(index);
  EXPECT_EQ(index, '0');
  EXPECT_EQ(WithMessageIndex("ABCDE", index), "ABC0E");
  for (int i = 0; i < 10; ++i) index = NextMessageIndex(index);
  EXPECT_EQ(index, '0');
  EXPECT_EQ(WithMessageIndex("AB", '3'), "AB");  // no fourth byte to write
  EXPECT_EQ(WithMessageIndex("ABC", '3'), "ABC");
  EXPECT_EQ(WithMessageIndex("ABCD", '3'), "ABC3");
}

TEST(FrameGather, IrdaDropsControlByteAndReplacesOnStart) {
  ReceiveState s;
  EXPECT_TRUE(GatherBlock(s, H("00E64142"), BlockSource::IrdaSocket));
  EXPECT_EQ(s.receiveBuffer, H("E64142"));
  EXPECT_FALSE(s.frameComplete);
  EXPECT_EQ(ExtractFrame(s, false), std::nullopt);  // start without end
  EXPECT_TRUE(GatherBlock(s, H("0043E7"), BlockSource::IrdaSocket));
  EXPECT_EQ(s.receiveBuffer, H("E6414243E7"));
  EXPECT_TRUE(s.frameComplete);
  EXPECT_EQ(ExtractFrame(s, false), std::optional<QByteArray>("ABC"));
  EXPECT_FALSE(s.frameComplete);
  // Empty and one-byte blocks change nothing.
  EXPECT_TRUE(GatherBlock(s, {}, BlockSource::IrdaSocket));
  EXPECT_TRUE(GatherBlock(s, H("E7"), BlockSource::IrdaSocket));
  EXPECT_FALSE(s.frameComplete);
}

TEST(FrameGather, SerialLimitIs1024BytesIrdaFarAboveAnyReply) {
  ReceiveState s;
  QByteArray block(1024, 'a');
  block[0] = static_cast<char>(0xE6);
  EXPECT_TRUE(GatherBlock(s, block, BlockSource::SerialPort));
  EXPECT_EQ(s.receiveBuffer.size(), 1024);
  EXPECT_FALSE(GatherBlock(s, "b", BlockSource::SerialPort));
  EXPECT_TRUE(s.receiveBuffer.isEmpty());
  // Over IrDA a long reply is gathered; bytes without a start marker beyond
  // the limit are dropped, ends and all.
  ReceiveState i;
  EXPECT_TRUE(GatherBlock(i, QByteArray(1, '\0') + block + block, BlockSource::IrdaSocket));
  EXPECT_EQ(i.receiveBuffer.size(), 2048);
  const QByteArray noise = QByteArray(1, '\0') + QByteArray(4095, 'n') + H("E7");
  while (i.receiveBuffer.size() + noise.size() - 1 <= kIrdaBufferLimit)
    EXPECT_TRUE(GatherBlock(i, noise, BlockSource::IrdaSocket));
  EXPECT_TRUE(GatherBlock(i, noise, BlockSource::IrdaSocket));
  EXPECT_TRUE(i.receiveBuffer.isEmpty());
  EXPECT_EQ(ExtractFrame(i, false), std::nullopt);
}

// A page's "ACK" and the release's "ACKBYE" can come in one read.
TEST(FrameGather, TwoFramesInOneBlockAreDeliveredOneAfterTheOther) {
  for (const BlockSource source : {BlockSource::SerialPort, BlockSource::IrdaSocket}) {
    ReceiveState s;  // an IrDA block is led by its control byte
    GatherBlock(s, H(source == BlockSource::IrdaSocket ? "00E641E7E642E7E643" : "E641E7E642E7E643"), source);
    EXPECT_EQ(ExtractFrame(s, false), std::optional<QByteArray>("A"));
    EXPECT_TRUE(s.frameComplete);
    EXPECT_EQ(FirstFrameExtent(s.receiveBuffer), 3);
    EXPECT_EQ(ExtractFrame(s, false), std::optional<QByteArray>("B"));
    EXPECT_FALSE(s.frameComplete);  // "C" has no end yet
    EXPECT_EQ(s.receiveBuffer, H("E643"));
    EXPECT_EQ(FirstFrameExtent(s.receiveBuffer), 2);
  }
}

TEST(FrameGather, OldReplyIsNotReplayedByALaterEndMarker) {
  ReceiveState s;
  GatherBlock(s, H("00E6414243E7"), BlockSource::IrdaSocket);
  EXPECT_EQ(ExtractFrame(s, false), std::optional<QByteArray>("ABC"));
  // A block with an end marker but no start marker.
  GatherBlock(s, H("0044E7"), BlockSource::IrdaSocket);
  EXPECT_TRUE(s.frameComplete);
  EXPECT_EQ(ExtractFrame(s, false), std::nullopt);
  EXPECT_FALSE(s.frameComplete);
}

TEST(FrameGather, TailOfOneFrameThenHeadOfTheNext) {
  ReceiveState s;
  GatherBlock(s, H("E641"), BlockSource::SerialPort);
  GatherBlock(s, H("42E7E643"), BlockSource::SerialPort);  // replaces the buffer
  EXPECT_EQ(s.receiveBuffer, H("42E7E643"));
  EXPECT_TRUE(s.frameComplete);
  EXPECT_EQ(ExtractFrame(s, false), std::nullopt);
  GatherBlock(s, H("44E7"), BlockSource::SerialPort);
  EXPECT_EQ(ExtractFrame(s, false), std::optional<QByteArray>("CD"));
}

TEST(FrameExtract, EscapesStartInsideBodyAndEscapeBeforeEnd) {
  ReceiveState s;
  s.receiveBuffer = H("99E641E8C6E642E8C8E7");
  EXPECT_EQ(ExtractFrame(s, false), std::optional<QByteArray>(H("41E6E642E8")));
  s.receiveBuffer = H("E641E8E7");  // the pending escape is dropped
  EXPECT_EQ(ExtractFrame(s, false), std::optional<QByteArray>("A"));
  s.receiveBuffer = H("E641E8");
  EXPECT_EQ(ExtractFrame(s, false), std::nullopt);
  s.receiveBuffer = H("414243E7");
  EXPECT_EQ(ExtractFrame(s, false), std::nullopt);
  s.receiveBuffer.clear();
  EXPECT_EQ(ExtractFrame(s, false), std::nullopt);
}

TEST(FrameExtract, ChecksumFamily) {
  ReceiveState s;
  s.receiveBuffer = H("E66162630126E7");
  EXPECT_EQ(ExtractFrame(s, true), std::optional<QByteArray>("abc"));
  s.receiveBuffer = H("E66162630127E7");  // wrong sum: dropped, buffer kept
  EXPECT_EQ(ExtractFrame(s, true), std::nullopt);
  EXPECT_EQ(s.receiveBuffer, H("E66162630127E7"));
  s.receiveBuffer = H("E601E7");  // shorter than the sum
  EXPECT_EQ(ExtractFrame(s, true), std::nullopt);
  s.receiveBuffer = H("E60000E7");  // empty message, sum 0
  EXPECT_EQ(ExtractFrame(s, true), std::optional<QByteArray>(QByteArray()));
}

TEST(FrameScan, WalksAStreamFrameByFrame) {
  const QByteArray stream = H("0000E641E7" "00E6E8C742E7" "00E643");
  ScannedFrame f = ScanFrame(stream);
  ASSERT_TRUE(f.complete);
  EXPECT_EQ(f.body, "A");
  f = ScanFrame(stream, f.next);
  ASSERT_TRUE(f.complete);
  EXPECT_EQ(f.body, H("E742"));
  const qsizetype tail = f.next;
  f = ScanFrame(stream, tail);
  EXPECT_FALSE(f.complete);
  EXPECT_EQ(f.start, stream.size() - 2);
  EXPECT_FALSE(ScanFrame(stream, stream.size()).complete);
  EXPECT_TRUE(ScanFrame(stream, -5).complete);  // a negative start reads from the beginning
}
