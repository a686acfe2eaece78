#include <gtest/gtest.h>

#include <QFile>
#include <QLocale>
#include <memory>
#include <random>

#include "support/ScriptedDialogs.h"
#include "instrument/FlashFile.h"
#include "sim/FirmwareMaker.h"
#include "support/Firmware.h"

using namespace zelvo;
using sim::FirmwareRecipe;
using sim::MakeFirmware;

namespace {

class FlashFileTest : public ::testing::Test {
 protected:
  QString Write(const QString& name, const QByteArray& bytes) { return files_.Write(name, bytes); }
  QString Firmware(const QString& name, const FirmwareRecipe& recipe) { return Write(name, MakeFirmware(recipe)); }

  test::FirmwareFiles files_;
  TFlashFile file_;
};

FirmwareRecipe Classic(const QByteArray& version, char type) {
  FirmwareRecipe recipe;
  recipe.ng = false;
  recipe.version = version;
  recipe.type = type;
  return recipe;
}

FirmwareRecipe NG(const QByteArray& version, char type) {
  FirmwareRecipe recipe;
  recipe.ng = true;
  recipe.version = version;
  recipe.type = type;
  return recipe;
}

}  // namespace

TEST_F(FlashFileTest, ImageStartsZeroFilled) {
  EXPECT_EQ(file_.FlashImage(), QByteArray(65536, '\0'));
}

TEST_F(FlashFileTest, ClassicLayoutFields) {
  FirmwareRecipe recipe = Classic("7.61", 'P');
  recipe.date = "Mar 03 2025 08:15:42";  // the maker keeps 19 characters
  const QString path = Firmware("c.bin", recipe);
  ASSERT_TRUE(file_.LoadFlashFile(path, false));
  EXPECT_EQ(file_.FileFlashVersion(), "7.61");
  EXPECT_EQ(file_.FileFlashType(), "P");
  EXPECT_EQ(file_.FileFlashDate(), "Mar 03 2025 08:15:4");  // 19 characters verbatim
  EXPECT_EQ(file_.FlashImage().left(32258), MakeFirmware(recipe));
}

TEST_F(FlashFileTest, ClassicTypeByteFFMeansNoType) {
  ASSERT_TRUE(file_.LoadFlashFile(Firmware("c.bin", Classic("7.50", '\xFF')), false));
  EXPECT_EQ(file_.FileFlashType(), " ");
  ASSERT_TRUE(file_.LoadFlashFile(Firmware("d.bin", Classic("7.50", '\xFE')), false));
  EXPECT_EQ(file_.FileFlashType(), QByteArray("\xFE", 1));
}

TEST_F(FlashFileTest, NGVersionInHundredthsAndTypeTakenUnchanged) {
  QByteArray bytes = MakeFirmware(NG("9.12", '\xFF'));
  ASSERT_EQ(static_cast<unsigned char>(bytes[49112]), 0x90);
  ASSERT_EQ(static_cast<unsigned char>(bytes[49113]), 0x03);
  ASSERT_TRUE(file_.LoadFlashFile(Write("ng.bin", bytes), true));
  const QString point = QLocale().decimalPoint();
  EXPECT_EQ(file_.FileFlashVersion(), QString("9" + point + "12").toLatin1());
  EXPECT_EQ(file_.FileFlashType(), QByteArray("\xFF", 1));  // no 0xFF rule in this layout
  EXPECT_EQ(file_.FileExtraChar(), "X");

  bytes[49112] = static_cast<char>(0x84);  // 900
  ASSERT_TRUE(file_.LoadFlashFile(Write("ng900.bin", bytes), true));
  EXPECT_EQ(file_.FileFlashVersion(), "9");
  bytes[49112] = 0;
  bytes[49113] = 0;
  ASSERT_TRUE(file_.LoadFlashFile(Write("ng0.bin", bytes), true));
  EXPECT_EQ(file_.FileFlashVersion(), "0");
}

TEST_F(FlashFileTest, WrongSizesAreRejectedAndChangeNothing) {
  ASSERT_TRUE(file_.LoadFlashFile(Firmware("good.bin", NG("9.05", 'A')), true));
  const QByteArray image = file_.FlashImage();

  const QByteArray classic = MakeFirmware(Classic("7.61", 'P'));
  const QByteArray ng = MakeFirmware(NG("9.12", 'D'));
  EXPECT_FALSE(file_.LoadFlashFile(Write("classic.bin", classic), true));   // classic file, NG instrument
  EXPECT_FALSE(file_.LoadFlashFile(Write("ng.bin", ng), false));            // NG file, classic instrument
  EXPECT_FALSE(file_.LoadFlashFile(Write("short.bin", ng.left(49153)), true));
  EXPECT_FALSE(file_.LoadFlashFile(Write("long.bin", ng + 'x'), true));
  EXPECT_FALSE(file_.LoadFlashFile(Write("empty.bin", {}), false));
  for (int size : {65535, 65536, 65537, 65538, 200000}) {
    // Never truncated to a valid size, never written past the image.
    EXPECT_FALSE(file_.LoadFlashFile(Write("big.bin", QByteArray(size, '\x5A')), true)) << size;
    EXPECT_FALSE(file_.LoadFlashFile(Write("big.bin", QByteArray(size, '\x5A')), false)) << size;
  }
  EXPECT_FALSE(file_.LoadFlashFile(files_.Path("missing.bin"), true));
  EXPECT_FALSE(file_.LoadFlashFile(files_.Path({}), true));  // a directory
  const QString unreadable = Write("locked.bin", ng);
  QFile::setPermissions(unreadable, QFileDevice::Permissions());
  if (QFile(unreadable).open(QIODevice::ReadOnly)) GTEST_LOG_(INFO) << "running as root: permissions not enforced";
  else EXPECT_FALSE(file_.LoadFlashFile(unreadable, true));

  EXPECT_EQ(file_.FlashImage().size(), 65536);
  EXPECT_EQ(file_.FlashImage(), image);
  EXPECT_DOUBLE_EQ(VersionToNumber(file_.FileFlashVersion()), 9.05);
  EXPECT_EQ(file_.FileFlashType(), "A");
}

TEST_F(FlashFileTest, ClassicLoadAfterNGKeepsTheBytesPastItsEnd) {
  const QByteArray ng = MakeFirmware(NG("9.12", 'D'));
  ASSERT_TRUE(file_.LoadFlashFile(Write("ng.bin", ng), true));
  const QByteArray classic = MakeFirmware(Classic("7.61", 'P'));
  ASSERT_TRUE(file_.LoadFlashFile(Write("c.bin", classic), false));
  EXPECT_EQ(file_.FlashImage().left(32258), classic);
  EXPECT_EQ(file_.FlashImage().mid(32258, 49154 - 32258), ng.mid(32258));
  EXPECT_EQ(file_.FlashImage().mid(49154), QByteArray(65536 - 49154, '\0'));
}

TEST_F(FlashFileTest, AnyContentAndSizeLoadsSafely) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    const int size = static_cast<int>(random() % 70000);
    QByteArray bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    const bool ng = random() & 1;
    const bool expected = size == (ng ? 49154 : 32258);
    EXPECT_EQ(file_.LoadFlashFile(Write("r.bin", bytes), ng), expected);
  }
  for (bool ng : {false, true}) {
    QByteArray bytes(ng ? 49154 : 32258, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    EXPECT_TRUE(file_.LoadFlashFile(Write("r.bin", bytes), ng));
    EXPECT_EQ(file_.FileFlashType().size(), 1);
    EXPECT_EQ(file_.FileFlashDate().size(), 19);
  }
}

TEST(VersionToNumber, EnglishFirstThenSystemElseZero) {
  EXPECT_DOUBLE_EQ(VersionToNumber("9.12"), 9.12);
  EXPECT_DOUBLE_EQ(VersionToNumber("9"), 9.0);
  EXPECT_DOUBLE_EQ(VersionToNumber(" 7.5 "), 7.5);
  EXPECT_DOUBLE_EQ(VersionToNumber("0.4"), 0.4);
  EXPECT_DOUBLE_EQ(VersionToNumber("9.12a"), 0.0);
  EXPECT_DOUBLE_EQ(VersionToNumber(""), 0.0);
  EXPECT_DOUBLE_EQ(VersionToNumber(QByteArray("\xFF\x00", 2)), 0.0);
}

TEST(VersionToNumber, SystemLocaleIsTheFallback) {
  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_DOUBLE_EQ(VersionToNumber("9,12"), 9.12);
  EXPECT_DOUBLE_EQ(VersionToNumber("9.12"), 9.12);  // English first
  QLocale::setDefault(saved);
}

// The file dialogue, driven through the scripted operator.
class SelectFlashFileTest : public FlashFileTest {
 protected:
  void SetUp() override { installed_ = std::make_unique<ScopedDialogs>(&dialogs_); }
  ScriptedDialogs dialogs_;
  std::unique_ptr<ScopedDialogs> installed_;
};

namespace {
InstrumentIdentity Instrument(bool ng, int kind, const QByteArray& version, const QByteArray& type) {
  return InstrumentIdentity{ng, kind, version, type};
}
const QString kUpgrade912 = QStringLiteral("Upgrade To Version 9") + QLocale().decimalPoint() + QStringLiteral("12");
}  // namespace

TEST_F(SelectFlashFileTest, CancelOnTheDialogAcceptsNothing) {
  EXPECT_FALSE(SelectFlashFile(file_, Instrument(true, 9, "9.05", "A")).has_value());
  ASSERT_EQ(dialogs_.Calls().size(), 1u);
  EXPECT_EQ(dialogs_.Calls()[0].kind, DialogCall::Kind::OpenFile);
  EXPECT_EQ(dialogs_.Calls()[0].text, QStringLiteral("Binary File|*.bin"));
}

TEST_F(SelectFlashFileTest, AcceptedFileGivesThePanelTexts) {
  FirmwareRecipe recipe = NG("9.12", 'A');
  recipe.date = "2026-02-02 12:00:00";
  dialogs_.AnswerFile(Firmware("ng.bin", recipe)).Answer(MsgResult::Yes);
  const auto accepted = SelectFlashFile(file_, Instrument(true, 9, "9.05", "A"));
  ASSERT_TRUE(accepted.has_value());
  EXPECT_EQ(dialogs_.Texts(), QStringList{kUpgrade912});
  EXPECT_EQ(dialogs_.Calls()[1].icon, MsgIcon::Confirmation);
  EXPECT_EQ(dialogs_.Calls()[1].buttons, MsgButtons::YesNo);
  EXPECT_EQ(accepted->upgradingTo, "Upgrading to: " + file_.FileFlashVersion() + " A");
  EXPECT_EQ(accepted->flashDate, "(2026-02-02 12:00:00)");
}

TEST_F(SelectFlashFileTest, EndsWithNothingOnceNoLongerWanted) {
  // After whichever dialog the instrument went away: nothing accepted, and no
  // dialog after that one.
  const QString ng = Firmware("ng.bin", NG("9.12", 'B'));
  const QString wrongSize = Firmware("c.bin", Classic("7.61", 'P'));
  struct Case { QString file; int dialogsBeforeGone; int dialogsSeen; };
  const Case cases[] = {{ng, 0, 1}, {wrongSize, 1, 2}, {ng, 1, 2}, {ng, 2, 3}, {ng, 3, 4}};
  for (const Case& c : cases) {
    ScriptedDialogs operatorOfThisCase;
    ScopedDialogs installed(&operatorOfThisCase);
    operatorOfThisCase.AnswerFile(c.file).Answer(MsgResult::Yes).Answer(MsgResult::Yes).Answer(MsgResult::Yes);
    int asked = 0;
    const auto stillWanted = [&] { return asked++ < c.dialogsBeforeGone; };
    // Type "A" against the file's "B" and an older version: three questions.
    EXPECT_FALSE(SelectFlashFile(file_, Instrument(true, 9, "9.50", "A"), stillWanted).has_value());
    EXPECT_EQ(static_cast<int>(operatorOfThisCase.Calls().size()), c.dialogsSeen) << c.dialogsBeforeGone;
  }
  // Wanted throughout: the same answers accept the file.
  dialogs_.AnswerFile(ng).Answer(MsgResult::Yes).Answer(MsgResult::Yes).Answer(MsgResult::Yes);
  EXPECT_TRUE(SelectFlashFile(file_, Instrument(true, 9, "9.50", "A"), [] { return true; }).has_value());
  EXPECT_EQ(dialogs_.Calls().size(), 4u);
}

TEST_F(SelectFlashFileTest, InvalidFileMessageFollowsTheInstrumentThenLoopsBack) {
  const QString classic = Firmware("c.bin", Classic("7.61", 'P'));
  const QString ng = Firmware("ng.bin", NG("9.12", 'D'));
  struct Case { bool ng; int kind; QString file; const char* text; };
  const Case cases[] = {
      {true, 9, classic, "This is not a valid flash file for ZelvoPro NG!"},
      {true, 10, classic, "This is not a valid flash file for ZelvoLTD NG!"},
      {false, 9, ng, "This is not a valid flash file for ZelvoPro!"},
      {false, 11, ng, "This is not a valid flash file for ZelvoLTD (BP)!"},
  };
  for (const Case& c : cases) {
    dialogs_.Clear();
    dialogs_.AnswerFile(c.file);  // rejected, then the dialog again, cancelled
    EXPECT_FALSE(SelectFlashFile(file_, Instrument(c.ng, c.kind, "", " ")).has_value());
    ASSERT_EQ(dialogs_.Calls().size(), 3u);
    EXPECT_EQ(dialogs_.Calls()[1].text, QLatin1String(c.text));
    EXPECT_EQ(dialogs_.Calls()[1].icon, MsgIcon::Error);
    EXPECT_EQ(dialogs_.Calls()[1].buttons, MsgButtons::OK);
    EXPECT_EQ(dialogs_.Calls()[2].kind, DialogCall::Kind::OpenFile);
  }
}

TEST_F(SelectFlashFileTest, TypeQuestionOnlyWhenTheInstrumentHasADifferentType) {
  const QString noType = Firmware("c.bin", Classic("7.61", '\xFF'));
  const QString typeP = Firmware("p.bin", Classic("7.61", 'P'));
  const QString typeQuestion = QStringLiteral(
      "The flash file type that you are loading \" \" is different then the instrument type!\rProceed anyway?");

  // Instrument type letter against a file without type: asked; No goes back to the dialog.
  dialogs_.AnswerFile(noType).Answer(MsgResult::No);
  EXPECT_FALSE(SelectFlashFile(file_, Instrument(false, 9, "7.6", "P")).has_value());
  EXPECT_EQ(dialogs_.Texts(), QStringList{typeQuestion});
  EXPECT_EQ(dialogs_.Calls().back().kind, DialogCall::Kind::OpenFile);

  // Same letter, a space, or an empty type: never asked.
  for (const QByteArray& instType : {QByteArray("P"), QByteArray(" "), QByteArray()}) {
    dialogs_.Clear();
    dialogs_.AnswerFile(typeP).Answer(MsgResult::Yes);
    EXPECT_TRUE(SelectFlashFile(file_, Instrument(false, 9, "7.6", instType)).has_value());
    EXPECT_EQ(dialogs_.Texts(), QStringList{QStringLiteral("Upgrade To Version 7.61")});
  }
  // Case matters.
  dialogs_.Clear();
  dialogs_.AnswerFile(typeP).Answer(MsgResult::Yes).Answer(MsgResult::Yes);
  const auto accepted = SelectFlashFile(file_, Instrument(false, 9, "7.6", "p"));
  ASSERT_TRUE(accepted.has_value());
  EXPECT_EQ(dialogs_.Texts().size(), 2);

  // A file without type shows two spaces at the end of the panel line.
  dialogs_.Clear();
  dialogs_.AnswerFile(noType).Answer(MsgResult::Yes);
  EXPECT_EQ(SelectFlashFile(file_, Instrument(false, 9, "7.6", " "))->upgradingTo, "Upgrading to: 7.61  ");
}

TEST_F(SelectFlashFileTest, OlderVersionQuestionAndItsLoop) {
  const QString older = Firmware("old.bin", NG("9.05", 'A'));
  const QString newer = Firmware("new.bin", NG("9.12", 'A'));
  const QString olderQuestion =
      QStringLiteral("The flash version you are loading is older then the existing one!\rProceed anyway?");

  // 9.12 installed, 9.05 offered: asked; No loops; then the newer file passes without it.
  dialogs_.AnswerFile(older).Answer(MsgResult::Yes).Answer(MsgResult::No)
      .AnswerFile(newer).Answer(MsgResult::Yes);
  ASSERT_TRUE(SelectFlashFile(file_, Instrument(true, 9, "9.12", "A")).has_value());
  EXPECT_EQ(dialogs_.CountOf(olderQuestion), 1);
  EXPECT_EQ(dialogs_.Calls().back().text, kUpgrade912);

  // Installed 9.05 with a 9.12 file, or an installed version that does not convert: not asked.
  for (const QByteArray& installed : {QByteArray("9.05"), QByteArray("abc"), QByteArray("9.12")}) {
    dialogs_.Clear();
    dialogs_.AnswerFile(newer).Answer(MsgResult::Yes);
    EXPECT_TRUE(SelectFlashFile(file_, Instrument(true, 9, installed, "A")).has_value());
    EXPECT_EQ(dialogs_.CountOf(olderQuestion), 0) << installed.constData();
  }

  // "Upgrade To Version" answered No goes back to the dialog.
  dialogs_.Clear();
  dialogs_.AnswerFile(newer).Answer(MsgResult::No);
  EXPECT_FALSE(SelectFlashFile(file_, Instrument(true, 9, "9.05", "A")).has_value());
  EXPECT_EQ(dialogs_.Calls().back().kind, DialogCall::Kind::OpenFile);
}
