#include <gtest/gtest.h>

#include <random>

#include "core/VersionResource.h"

using namespace zelvo;

namespace {

VersionBlockInput Input(const QString& fileVersion) {
  VersionBlockInput input;
  input.strings = {{"CompanyName", "Orlund Instrumentation"},
                   {"FileVersion", fileVersion},
                   {"ProductName", "ZelvoPro Flash Utility"}};
  return input;
}

}  // namespace

TEST(VersionResource, BuiltBlockIsFoundInsideOtherBytesAndQueried) {
  const QByteArray block = BuildVersionBlock(Input("8.2.1.1234"));
  EXPECT_EQ(block.size() % 4, 0);
  const QByteArray image = QByteArray(1001, 'x') + block + QByteArray(77, '\0');
  const auto found = FindVersionBlock(image);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, block);

  const auto translation = QueryVersionValue(block, "\\VarFileInfo\\Translation");
  ASSERT_TRUE(translation.has_value());
  EXPECT_EQ(*translation, QByteArray("\x09\x04\xE4\x04", 4));
  const auto version = QueryVersionValue(block, "\\StringFileInfo\\040904E4\\FileVersion");
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(VersionText(*version), QStringLiteral("8.2.1.1234"));
  EXPECT_EQ(VersionText(*QueryVersionValue(block, "\\stringfileinfo\\040904e4\\companyname")),
            QStringLiteral("Orlund Instrumentation"));
  EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\040904E4\\Comments").has_value());
  EXPECT_FALSE(QueryVersionValue(block, "\\StringFileInfo\\04070000\\FileVersion").has_value());
}

TEST(VersionResource, TheKeyAloneIsNotABlock) {
  // The UTF-16 key without a well-formed node around it (as it could appear in
  // any data of a file) is skipped.
  QByteArray key;
  for (char c : QByteArray("VS_VERSION_INFO")) key.append(c).append('\0');
  key.append(2, '\0');
  EXPECT_FALSE(FindVersionBlock(QByteArray(6, '\x7F') + key + QByteArray(64, '\0')).has_value());
  EXPECT_FALSE(FindVersionBlock(key).has_value());
  EXPECT_FALSE(FindVersionBlock(QByteArray()).has_value());
  // A fake block ahead of the real one is passed over.
  const QByteArray block = BuildVersionBlock(Input("7.2"));
  EXPECT_EQ(*FindVersionBlock(QByteArray(6, '\x7F') + key + QByteArray(6, '\0') + block), block);
}

TEST(VersionResource, TruncatedAndCorruptedBlocksNeverReadOutside) {
  const QByteArray block = BuildVersionBlock(Input("8.2.1.1234"));
  // Every truncation: found or not, queries stay inside.
  for (int size = 0; size <= block.size(); ++size) {
    const QByteArray cut = block.left(size);
    if (auto found = FindVersionBlock(cut)) {
      (void)QueryVersionValue(*found, "\\StringFileInfo\\040904E4\\FileVersion");
    }
    (void)QueryVersionValue(cut, "\\VarFileInfo\\Translation");
  }
  // Random byte corruption of lengths and keys.
  std::mt19937 random(12345);
  for (int round = 0; round < 3000; ++round) {
    QByteArray bad = block;
    const int flips = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < flips; ++i)
      bad[static_cast<int>(random() % bad.size())] = static_cast<char>(random() & 0xFF);
    if (auto found = FindVersionBlock(QByteArray(3, 'a') + bad)) {
      (void)QueryVersionValue(*found, "\\StringFileInfo\\040904E4\\FileVersion");
      (void)QueryVersionValue(*found, "\\VarFileInfo\\Translation");
    }
    (void)QueryVersionValue(bad, "\\StringFileInfo\\040904E4\\ProductName");
  }
  SUCCEED();
}
