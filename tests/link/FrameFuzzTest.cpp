// Arbitrary blocks through gathering and extraction: no crash, no read outside
// a buffer (the sanitizer build checks the latter), and the invariants hold.
#include <gtest/gtest.h>

#include <random>

#include "link/FrameCodec.h"

using namespace zelvo;
using namespace zelvo::frame;

namespace {
QByteArray RandomBlock(std::mt19937& rng) {
  std::uniform_int_distribution<int> len(0, 80);
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_int_distribution<int> byte(0, 255);
  QByteArray b;
  const int n = len(rng);
  for (int i = 0; i < n; ++i) {
    // Markers are common so that frames actually form.
    switch (pick(rng)) {
      case 0: b.append('\xE6'); break;
      case 1: b.append('\xE7'); break;
      case 2: b.append('\xE8'); break;
      default: b.append(static_cast<char>(byte(rng)));
    }
  }
  return b;
}
}  // namespace

TEST(FrameFuzz, RandomBlocksThroughGatherAndExtract) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    ReceiveState s;
    const BlockSource source = round % 2 ? BlockSource::SerialPort : BlockSource::IrdaSocket;
    for (int i = 0; i < 200; ++i) {
      GatherBlock(s, RandomBlock(rng), source);
      if (source == BlockSource::SerialPort) {
        EXPECT_LE(s.receiveBuffer.size(), kSerialBufferLimit);
      }
      // Every frame of the block is delivered in turn, each taking itself
      // out of the buffer; an undeliverable one clears frameComplete.
      while (s.frameComplete) {
        const qsizetype before = s.receiveBuffer.size();
        const std::optional<QByteArray> reply = ExtractFrame(s, round % 3 == 0);
        if (reply) {
          EXPECT_LT(s.receiveBuffer.size(), before);
          EXPECT_EQ(s.frameComplete, s.receiveBuffer.contains('\xE7'));
        } else {
          EXPECT_FALSE(s.frameComplete);
        }
      }
    }
  }
}

TEST(FrameFuzz, EveryMessageSurvivesTheRoundTrip) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> len(0, 300);
  for (int i = 0; i < 500; ++i) {
    QByteArray m;
    const int n = len(rng);
    for (int k = 0; k < n; ++k) m.append(static_cast<char>(byte(rng)));
    const bool sum = i % 2;
    const TKelType t = sum ? TKelType::tpKel5 : TKelType::tpZelvoPro;
    const IrdaWrites w = CutForIrda(t, WireForm(t, m), false);
    ReceiveState s;
    for (const QByteArray& piece : w.writes) {
      EXPECT_LE(piece.size(), 41);
      GatherBlock(s, piece, BlockSource::IrdaSocket);
    }
    ASSERT_TRUE(s.frameComplete);
    EXPECT_EQ(ExtractFrame(s, sum), std::optional<QByteArray>(m));
  }
}

TEST(FrameFuzz, ScanNeverLeavesTheBuffer) {
  std::mt19937 rng(99);
  for (int i = 0; i < 2000; ++i) {
    const QByteArray b = RandomBlock(rng);
    qsizetype from = 0;
    for (int guard = 0; guard < 100; ++guard) {
      const ScannedFrame f = ScanFrame(b, from);
      if (!f.complete) break;
      ASSERT_GT(f.next, from);
      ASSERT_LE(f.next, b.size());
      from = f.next;
    }
    CheckedMessage(b);
  }
}
