#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include "app/AppVersionInfo.h"
#include "core/VersionResource.h"

using namespace zelvo;

namespace {

// An "executable": some bytes, the block, more bytes.
QString WriteExe(const QTemporaryDir& dir, const QString& name, const QByteArray& block) {
  const QString path = dir.filePath(name);
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QByteArray(4096, '\x90') + block + QByteArray(123, '\0'));
  return path;
}

QByteArray Block(const QString& fileVersion, quint16 language = 0x0409, quint16 codePage = 0x04E4) {
  VersionBlockInput input;
  input.language = language;
  input.codePage = codePage;
  input.strings = {{"CompanyName", "Orlund Instrumentation"},
                   {"FileDescription", "ZelvoPro Flash Upload Utility"},
                   {"FileVersion", fileVersion},
                   {"InternalName", "ZelvoFlash"},
                   {"LegalCopyright", "(C)"},
                   {"OriginalFilename", "zelvo.exe"},
                   {"ProductName", "ZelvoPro Flash Utility"},
                   {"ProductVersion", "8.2"},
                   {"Comments", "none"}};
  return BuildVersionBlock(input);
}

}  // namespace

// Every entry, looked up through the translation table, and the file
// version's four fields; a short version repeats its last field.
TEST(TAppVersionInfo, ReadsEveryEntryAndSplitsTheFileVersion) {
  const struct {
    QString version;
    quint16 language, codePage;
    QStringList fields;  // major, minor, release, build
  } cases[] = {
      {"8.2.1.1234", 0x0409, 0x04E4, {"8", "2", "1", "1234"}},
      {"7.2", 0x0409, 0x04E4, {"7", "2", "2", "2"}},
      {"8", 0x0409, 0x04E4, {"8", "8", "8", "8"}},
      {"1.0.3.4", 0x0407, 0x04B0, {"1", "0", "3", "4"}},
  };
  QTemporaryDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version.toStdString());
    TAppVersionInfo info;
    EXPECT_EQ(info.LangId(), QStringLiteral("0409"));
    info.SetExeName(WriteExe(dir, "a.exe", Block(c.version, c.language, c.codePage)));
    info.ReadVersionInfo();
    EXPECT_EQ(info.CompanyName(), QStringLiteral("Orlund Instrumentation"));
    EXPECT_EQ(info.FileDescription(), QStringLiteral("ZelvoPro Flash Upload Utility"));
    EXPECT_EQ(info.FileVersion(), c.version);
    EXPECT_EQ(info.InternalName(), QStringLiteral("ZelvoFlash"));
    EXPECT_EQ(info.OriginalFilename(), QStringLiteral("zelvo.exe"));
    EXPECT_EQ(info.ProductName(), QStringLiteral("ZelvoPro Flash Utility"));
    EXPECT_EQ(info.ProductVersion(), QStringLiteral("8.2"));
    EXPECT_EQ(info.Comments(), QStringLiteral("none"));
    EXPECT_EQ(info.LegalTradeMarks(), QString());  // not in the block
    EXPECT_EQ((QStringList{info.MajorVersion(), info.MinorVersion(), info.Release(), info.Build()}), c.fields);
  }
}

TEST(TAppVersionInfo, NoBlockOrNoFileLeavesEverythingEmpty) {
  QTemporaryDir dir;
  TAppVersionInfo info;
  info.SetExeName(WriteExe(dir, "e.exe", QByteArray()));
  info.ReadVersionInfo();
  info.SetExeName(dir.filePath("missing.exe"));
  info.ReadVersionInfo();
  for (const QString& value : {info.CompanyName(), info.FileVersion(), info.ProductName(), info.MajorVersion(),
                               info.MinorVersion(), info.Release(), info.Build()})
    EXPECT_TRUE(value.isEmpty());
}

TEST(TAppVersionInfo, TruncatedBlocksNeverReadPastTheFile) {
  QTemporaryDir dir;
  const QByteArray block = Block("8.2.1.1234");
  for (int size = 0; size < block.size(); size += 3) {
    const QString path = dir.filePath("t.exe");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(block.left(size));
    file.close();
    TAppVersionInfo info;
    info.SetExeName(path);
    info.ReadVersionInfo();
    EXPECT_TRUE(info.FileVersion().isEmpty() || info.FileVersion() == QStringLiteral("8.2.1.1234"));
  }
}

TEST(TAppVersionInfo, VersionField) {
  EXPECT_EQ(TAppVersionInfo::VersionField("8.2.1.1234", 1), "8");
  EXPECT_EQ(TAppVersionInfo::VersionField("8.2.1.1234", 4), "1234");
  EXPECT_EQ(TAppVersionInfo::VersionField("8.2.1.1234", 5), "1234");
  EXPECT_EQ(TAppVersionInfo::VersionField("8", 2), "8");
  EXPECT_EQ(TAppVersionInfo::VersionField("", 1), "");
  EXPECT_EQ(TAppVersionInfo::VersionField("8..1", 2), "");
}

TEST(TAppVersionInfo, TheBuiltUtilityCarriesItsVersionBlock) {
  for (const QString& exe : {QStringLiteral(ZELVO_UTILITY_EXE), QCoreApplication::applicationFilePath()}) {
    TAppVersionInfo info;
    info.SetExeName(exe);
    info.ReadVersionInfo();
    EXPECT_EQ(info.FileVersion(), QStringLiteral("8.2.1.1234")) << exe.toStdString();
    EXPECT_EQ(info.ProductName(), QStringLiteral("ZelvoPro Flash Utility"));
  }
}
