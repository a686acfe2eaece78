#include <gtest/gtest.h>

#include "core/Bytes.h"

using namespace zelvo;

TEST(Bytes, PositionsCountFromOne) {
  EXPECT_EQ(Pos("ACK", "ACK"), 1);
  EXPECT_EQ(Pos("ACK", "xxACK12"), 3);
  EXPECT_EQ(Pos("ACK", "AC"), 0);
  EXPECT_EQ(Pos("ACK", QByteArray()), 0);
  EXPECT_EQ(ByteAt("ABC", 1), 'A');
  EXPECT_EQ(ByteAt("ABC", 3), 'C');
  EXPECT_EQ(ByteAt(QByteArray("\xFF", 1), 1), 0xFF);
}

TEST(Bytes, ReadsOutsideTheTextGiveNothing) {
  EXPECT_EQ(ByteAt("ABC", 0), -1);
  EXPECT_EQ(ByteAt("ABC", 4), -1);
  EXPECT_EQ(ByteAt(QByteArray(), 1), -1);
  EXPECT_EQ(Copy("ABCDEF", 3, 2), "CD");
  EXPECT_EQ(Copy("ABCDEF", 5, 10), "EF");
  EXPECT_EQ(Copy("ABCDEF", 7, 1), "");
  EXPECT_EQ(Copy("ABCDEF", 0, 2), "AB");
  EXPECT_EQ(Copy("ABCDEF", 2, -1), "");
  EXPECT_EQ(CopyFrom("ACK9", 4), "9");
  EXPECT_EQ(CopyFrom("ACK", 4), "");
}

TEST(Bytes, EveryByteSurvivesTheTripToText) {
  QByteArray all;
  for (int i = 0; i < 256; ++i) all.append(static_cast<char>(i));
  EXPECT_EQ(FromText(ToText(all)), all);
  EXPECT_EQ(Chr(0x1FF), QByteArray("\xFF", 1));
  EXPECT_EQ(HexDump(QByteArray("\xE6\x45", 2)), QStringLiteral("E6 45"));
}

// Fields of every byte order read inside the bytes only: one that does not
// fit, or starts before them, reads as 0.
TEST(Bytes, MultiByteFieldsStayInsideTheBytes) {
  const QByteArray bytes("\x12\x34\x56\x78\x9A", 5);
  EXPECT_EQ(BigEndian16At(bytes, 0), 0x1234);
  EXPECT_EQ(BigEndian16At(bytes, 3), 0x789A);
  EXPECT_EQ(LittleEndian16At(bytes, 3), 0x9A78);
  EXPECT_EQ(LittleEndian32At(bytes, 1), 0x9A785634u);
  for (qsizetype at : {qsizetype(-1), qsizetype(4), qsizetype(5), qsizetype(1) << 40}) {
    EXPECT_EQ(BigEndian16At(bytes, at), 0) << at;
    EXPECT_EQ(LittleEndian16At(bytes, at), 0) << at;
  }
  EXPECT_EQ(LittleEndian32At(bytes, 2), 0u);
  EXPECT_EQ(LittleEndian32At(QByteArray(), 0), 0u);
}
