// The debug window's hexadecimal view and trace saving, and the sample
// firmware the window offers when simulating.

#include <gtest/gtest.h>

#include <tuple>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include "app/DebugForm.h"
#include "app/WindowTestSupport.h"
#include "app/WidgetDialogs.h"
#include "core/Bytes.h"
#include "support/ScriptedDialogs.h"
#include "instrument/FlashFile.h"

using namespace zelvo;

using test::Window;

// Every byte value, line ends included, comes out as its hexadecimal byte,
// one message a line.
TEST(TfrmDebug, ShowAsHexGivesEachMessageAsBytes) {
  Window w;
  QByteArray everyByte;
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  w.main.KelLink1DebugSend(nullptr, "\xE6" "ENQ" "\xE7");
  w.main.KelLink1DebugReceive(nullptr, "\xE6" "ACK\n\r#" "\xE7");
  w.main.KelLink1DebugReceive(nullptr, everyByte);
  w.debug.show();
  EXPECT_TRUE(w.debug.Debug->isVisible());
  EXPECT_FALSE(w.debug.ShowingHex());

  w.debug.SetShowAsHex(true);
  EXPECT_FALSE(w.debug.Debug->isVisible());
  EXPECT_TRUE(w.debug.DebugHex->isVisible());
  // Opened at the start of the lines, however long the last one is.
  QApplication::processEvents();
  const QScrollBar* across = w.debug.DebugHex->horizontalScrollBar();
  EXPECT_GT(across->maximum(), 0) << "the longest line is wider than the box";
  EXPECT_EQ(across->value(), 0);
  const QStringList lines = w.debug.DebugHex->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 3) << w.debug.DebugHex->toPlainText().toStdString();
  EXPECT_EQ(lines[0], "SND#E6 45 4E 51 E7#");
  EXPECT_EQ(lines[1], "RCV#E6 41 43 4B 0A 0D 23 E7#");
  EXPECT_EQ(lines[2], "RCV#" + QString::fromLatin1(everyByte.toHex(' ').toUpper()) + "#");

  // Lines traced while the hex view shows reach it too; Start empties both.
  w.main.KelLink1DebugSend(nullptr, "\xE6" "WHO" "\xE7");
  QApplication::processEvents();
  EXPECT_TRUE(w.debug.DebugHex->toPlainText().endsWith("\nSND#E6 57 48 4F E7#"));
  EXPECT_EQ(across->value(), 0);
  w.debug.Debug->clear();
  QApplication::processEvents();
  EXPECT_TRUE(w.debug.DebugHex->toPlainText().isEmpty());

  w.debug.SetShowAsHex(false);
  EXPECT_TRUE(w.debug.Debug->isVisible());
  EXPECT_FALSE(w.debug.DebugHex->isVisible());
}

TEST(TfrmDebug, SaveTraceWritesWhatIsShown) {
  Window w;
  w.main.KelLink1DebugSend(nullptr, "\xE6" "ENQ" "\xE7");
  w.main.KelLink1DebugReceive(nullptr, QByteArray("\xE6" "ACK\xA0\0\xE7", 7));
  QTemporaryDir dir;
  QString error;
  ASSERT_TRUE(w.debug.SaveTrace(dir.filePath("raw.txt"), &error)) << error.toStdString();
  w.debug.SetShowAsHex(true);
  ASSERT_TRUE(w.debug.SaveTrace(dir.filePath("hex.txt"), &error)) << error.toStdString();
  QFile raw(dir.filePath("raw.txt")), hex(dir.filePath("hex.txt"));
  ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
  ASSERT_TRUE(hex.open(QIODevice::ReadOnly));
  EXPECT_EQ(raw.readAll(), QByteArray("SND#\xE6" "ENQ" "\xE7#\nRCV#\xE6" "ACK\xA0\0\xE7#\n", 24));
  EXPECT_EQ(hex.readAll(), "SND#E6 45 4E 51 E7#\nRCV#E6 41 43 4B A0 00 E7#\n");
  EXPECT_FALSE(w.debug.SaveTrace(dir.filePath("no/such/folder/t.txt"), &error));
  EXPECT_FALSE(error.isEmpty());

  // From the menu: the operator is told where the trace went, or why not.
  ScriptedDialogs dialogs;
  ScopedDialogs installed(&dialogs);
  for (const QString& path : {dir.filePath("chosen.txt"), dir.filePath("no/such/folder/t.txt")}) {
    QTimer::singleShot(0, [&] {
      for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QFileDialog*>(top); dialog && dialog->isVisible()) {
          dialog->selectFile(path);
          static_cast<QDialog*>(dialog)->accept();  // QFileDialog checks the choice
          if (dialog->isVisible()) dialog->reject();  // not taken: the calls below tell
        }
      }
    });
    w.debug.actSaveTrace->trigger();
  }
  ASSERT_EQ(dialogs.Calls().size(), 2u) << dialogs.Texts().join('\n').toStdString();
  EXPECT_EQ(dialogs.Calls()[0].kind, DialogCall::Kind::Message);
  EXPECT_EQ(dialogs.Calls()[0].text, "The trace was saved to " + dir.filePath("chosen.txt"));
  EXPECT_TRUE(QFile::exists(dir.filePath("chosen.txt")));
  EXPECT_EQ(dialogs.Calls()[1].icon, MsgIcon::Error);
  EXPECT_TRUE(dialogs.Calls()[1].text.contains(dir.filePath("no/such/folder/t.txt")));
}

// What is seen is what is saved: keys neither type into the trace nor undo
// it. Placed partly off the screen, the window opens on it.
TEST(TfrmDebug, TheTraceIsReadOnlyAndTheWindowOpensOnTheScreen) {
  Window w;
  w.main.KelLink1DebugSend(nullptr, "\xE6" "ENQ" "\xE7");
  w.main.KelLink1DebugReceive(nullptr, "\xE6" "ACKBYE" "\xE7");
  const QRect room = w.debug.screen()->availableGeometry();
  w.debug.move(room.left() + 10, room.bottom() - 50);
  w.debug.show();
  QApplication::processEvents();
  EXPECT_TRUE(room.contains(w.debug.frameGeometry()))
      << w.debug.frameGeometry().y() << " + " << w.debug.frameGeometry().height() << " on " << room.height();

  for (QPlainTextEdit* box : {static_cast<QPlainTextEdit*>(w.debug.Debug), w.debug.DebugHex}) {
    w.debug.SetShowAsHex(box == w.debug.DebugHex);
    const QString before = box->toPlainText();
    box->moveCursor(QTextCursor::End);
    for (const auto& [key, modifiers, text] : {std::tuple{Qt::Key_X, Qt::NoModifier, QStringLiteral("x")},
                                               std::tuple{Qt::Key_Backspace, Qt::NoModifier, QString()},
                                               std::tuple{Qt::Key_Z, Qt::ControlModifier, QString()}}) {
      QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
      QApplication::sendEvent(box, &press);
    }
    EXPECT_EQ(box->toPlainText(), before) << box->objectName().toStdString();
  }
}

TEST(TfrmDebug, ContextMenuOffersHexAndSave) {
  Window w;
  w.debug.show();
  QStringList offered;
  QTimer::singleShot(0, [&] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (auto* menu = qobject_cast<QMenu*>(top); menu && menu->isVisible()) {
        for (QAction* action : menu->actions()) offered << action->text();
        menu->close();
      }
    }
  });
  Q_EMIT w.debug.Debug->customContextMenuRequested(QPoint(5, 5));
  QApplication::processEvents();
  QApplication::processEvents();
  EXPECT_TRUE(offered.contains("Show as hex")) << offered.join(", ").toStdString();
  EXPECT_TRUE(offered.contains("Save Trace...")) << offered.join(", ").toStdString();
}

// The build's sample folder: one file for every path of the file dialogue
// against the simulated ZelvoPro NG at 9.05, type A.
TEST(SampleFirmware, TheBuildMakesOneFileForEveryPath) {
  const QDir folder(QStringLiteral(ZELVO_SAMPLE_FIRMWARE_DIR));
  struct Sample {
    const char* name;
    qint64 size;
    bool ng;
    const char* version;
    const char* type;
  } const samples[] = {
      {"ZelvoPro-NG-9.12-A.bin", kNGFileSize, true, "9.12", "A"},          // newer: uploads
      {"ZelvoPro-NG-9.01-A.bin", kNGFileSize, true, "9.01", "A"},          // older: the older-version question
      {"ZelvoPro-NG-9.12-B.bin", kNGFileSize, true, "9.12", "B"},          // another type: the type question
      {"ZelvoPro-classic-7.62-A.bin", kClassicFileSize, false, "7.62", "A"},  // classic: refused for NG
      {"damaged-40000-bytes.bin", 40000, true, nullptr, nullptr},          // wrong size: refused
  };
  for (const Sample& s : samples) {
    const QString path = folder.filePath(QLatin1String(s.name));
    ASSERT_TRUE(QFile::exists(path)) << s.name;
    EXPECT_EQ(QFileInfo(path).size(), s.size) << s.name;
    TFlashFile file;
    EXPECT_EQ(file.LoadFlashFile(path, s.ng), s.version != nullptr) << s.name;
    if (!s.version) continue;
    EXPECT_EQ(file.FileFlashVersion(), QByteArray(s.version)) << s.name;
    EXPECT_EQ(file.FileFlashType(), QByteArray(s.type)) << s.name;
  }
}

// When simulating, the open-file dialog starts in that folder.
TEST(SampleFirmware, OpenFileDialogStartsInTheStartFolder) {
  QTemporaryDir dir;
  WidgetDialogs dialogs;
  dialogs.SetStartFolder(dir.path());
  QString shownFolder;
  QTimer::singleShot(50, [&] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<QFileDialog*>(top); dialog && dialog->isVisible()) {
        shownFolder = dialog->directory().absolutePath();
        dialog->reject();
      }
    }
  });
  EXPECT_FALSE(dialogs.OpenFile(QLatin1String(kFlashFileFilter)).has_value());
  EXPECT_EQ(shownFolder, QDir(dir.path()).absolutePath());
}
