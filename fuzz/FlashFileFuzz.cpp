// The firmware file: reading an image of either layout and the operator's file
// dialogue around it (size check, type and version questions).
//
// Input: one byte of settings (layout, how the size is off, the instrument's
// generation and kind, the operator's answers), the identification fields
// (date, version, extra character, type), the instrument's version and type
// texts, then image bytes from offset 0. The image is written as a file and
// loaded into one firmware file object kept for the whole run.
// Checked: a file loads exactly when its size is the generation's; a load
// copies the file to the image from offset 0 and keeps every byte past its
// end, a refused one changes nothing; every field is read from its offset; and
// the dialogue asks only what the instrument and file call for, ending with the
// panel texts of the file it accepted.
//
// Every input is loaded from memory (LoadFlashBytes, which the file reader
// calls with the bytes it read); the file, the image before the load and the
// checks work in buffers kept for the run, since a fresh 64 KiB array per input
// would cost more than everything else. The dialogue offers a file by its path,
// as the operator picks one: writing the file and reading it back costs more
// than all the rest, so only one input in kDialogueOneIn (chosen by its bytes
// alone, so that a failure comes back on replay) is written as a file and goes
// through the dialogue.

#include <cstring>

#include "FuzzSupport.h"
#include "support/ScriptedDialogs.h"
#include "instrument/FlashFile.h"

using namespace zelvo;

namespace {

constexpr unsigned kDialogueOneIn = 16;

// Classic and NG field offsets, as the files carry them.
constexpr int kClassicDate = 32196, kClassicVersion = 32216, kClassicType = 32222;
constexpr int kNGDate = 49092, kNGVersion = 49112, kNGExtra = 49114, kNGType = 49116;

// The file's bytes, into file (its storage kept from input to input).
void MakeFile(fuzz::Input& in, bool ngLayout, int sizeChange, QByteArray& file) {
  const int size = (ngLayout ? kNGFileSize : kClassicFileSize) + sizeChange;
  file.fill('\0', size);
  const auto put = [&file](int at, const QByteArray& bytes) {
    for (qsizetype i = 0; i < bytes.size() && at + i < file.size(); ++i) file[at + i] = bytes[i];
  };
  put(ngLayout ? kNGDate : kClassicDate, in.Bytes(19));
  if (ngLayout) {
    put(kNGVersion, in.Bytes(2));
    put(kNGExtra, in.Bytes(1));
    put(kNGType, in.Bytes(1));
  } else {
    put(kClassicVersion, in.Bytes(4));
    put(kClassicType, in.Bytes(1));
  }
}

void CheckLoad(TFlashFile& flash, const QByteArray& file, bool isNG) {
  // A copy of the image as it was, not a share of it (a share would make the
  // load copy the image).
  static QByteArray imageBefore;
  imageBefore.resize(flash.FlashImage().size());
  std::memcpy(imageBefore.data(), flash.FlashImage().constData(), static_cast<size_t>(imageBefore.size()));
  const QByteArray versionBefore = flash.FileFlashVersion(), typeBefore = flash.FileFlashType();
  const QByteArray dateBefore = flash.FileFlashDate(), extraBefore = flash.FileExtraChar();

  const bool loaded = flash.LoadFlashBytes(file, isNG);
  const QByteArrayView image = flash.FlashImage();
  ZELVO_FUZZ_CHECK(image.size() == kFlashImageSize);
  ZELVO_FUZZ_CHECK(loaded == (file.size() == (isNG ? kNGFileSize : kClassicFileSize)));
  if (!loaded) {
    ZELVO_FUZZ_CHECK(image == imageBefore && flash.FileFlashVersion() == versionBefore &&
                     flash.FileFlashType() == typeBefore && flash.FileFlashDate() == dateBefore &&
                     flash.FileExtraChar() == extraBefore);
    return;
  }
  ZELVO_FUZZ_CHECK(image.first(file.size()) == file);
  ZELVO_FUZZ_CHECK(image.sliced(file.size()) == QByteArrayView(imageBefore).sliced(file.size()));
  if (isNG) {
    const int hundredths = (static_cast<unsigned char>(file[kNGVersion + 1]) << 8) |
                           static_cast<unsigned char>(file[kNGVersion]);
    ZELVO_FUZZ_CHECK(VersionToNumber(flash.FileFlashVersion()) == hundredths / 100.0);
    ZELVO_FUZZ_CHECK(flash.FileFlashDate() == file.mid(kNGDate, 19));
    ZELVO_FUZZ_CHECK(flash.FileFlashType() == file.mid(kNGType, 1));
    ZELVO_FUZZ_CHECK(flash.FileExtraChar() == file.mid(kNGExtra, 1));
  } else {
    ZELVO_FUZZ_CHECK(flash.FileFlashVersion() == file.mid(kClassicVersion, 4));
    ZELVO_FUZZ_CHECK(flash.FileFlashDate() == file.mid(kClassicDate, 19));
    const char type = file[kClassicType];
    ZELVO_FUZZ_CHECK(flash.FileFlashType() == (type == '\xFF' ? QByteArray(" ") : QByteArray(1, type)));
  }
}

// The dialogue offered the one file, the operator answering from the input;
// then the dialog is cancelled.
void CheckDialogue(TFlashFile& flash, const QString& path, const QByteArray& file,
                   const InstrumentIdentity& instrument, uint8_t answers) {
  ScriptedDialogs dialogs;
  ScopedDialogs installed(&dialogs);
  dialogs.AnswerFile(path);
  for (int i = 0; i < 3; ++i) dialogs.Answer(answers & (1 << i) ? MsgResult::Yes : MsgResult::No);
  dialogs.AnswerFile(QString());

  const std::optional<AcceptedFlashFile> accepted = SelectFlashFile(flash, instrument);
  const std::vector<DialogCall>& calls = dialogs.Calls();
  ZELVO_FUZZ_CHECK(calls.size() >= 2 && calls.front().kind == DialogCall::Kind::OpenFile);
  ZELVO_FUZZ_CHECK(calls.front().text == QLatin1String(kFlashFileFilter));
  const bool fits = file.size() == (instrument.IsNG ? kNGFileSize : kClassicFileSize);
  if (!fits) {
    ZELVO_FUZZ_CHECK(!accepted && calls.size() == 3);
    ZELVO_FUZZ_CHECK(calls[1].prompt == Prompt::InvalidFlashFile && calls[1].text == InvalidFlashFileText(instrument) &&
                     calls[1].icon == MsgIcon::Error);
    return;
  }
  // Every question between the two file dialogs, or up to the acceptance.
  std::vector<Prompt> questions;
  for (size_t i = 1; i < calls.size() && calls[i].kind == DialogCall::Kind::MessageDlg; ++i) {
    ZELVO_FUZZ_CHECK(calls[i].icon == MsgIcon::Confirmation && calls[i].buttons == MsgButtons::YesNo);
    questions.push_back(calls[i].prompt);
  }
  ZELVO_FUZZ_CHECK(!questions.empty() && questions.size() <= 3);
  const QByteArray& type = flash.FileFlashType();
  const QByteArray& instType = instrument.InstFlashType;
  const bool typeAsked = !instType.isEmpty() && instType[0] != ' ' && instType[0] != type[0];
  ZELVO_FUZZ_CHECK((questions.front() == Prompt::OtherFirmwareType) == typeAsked);
  if (accepted) {
    ZELVO_FUZZ_CHECK(accepted->path == path);
    ZELVO_FUZZ_CHECK(accepted->upgradingTo == "Upgrading to: " + flash.FileFlashVersion() + " " + type);
    ZELVO_FUZZ_CHECK(accepted->flashDate == "(" + flash.FileFlashDate() + ")");
    const double installed = VersionToNumber(instrument.InstFlashVersion);
    const double offered = VersionToNumber(flash.FileFlashVersion());
    const bool olderAsked = installed > 0 && offered > 0 && installed > offered;
    ZELVO_FUZZ_CHECK(questions.size() == 1u + (typeAsked ? 1u : 0u) + (olderAsked ? 1u : 0u));
    ZELVO_FUZZ_CHECK(questions.back() == (olderAsked ? Prompt::OlderVersion : Prompt::UpgradeToVersion));
  } else {
    ZELVO_FUZZ_CHECK(calls.back().kind == DialogCall::Kind::OpenFile && calls.back().answer.isEmpty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Application();
  static TFlashFile* flash = new TFlashFile;  // one image for the whole run, as in the component

  fuzz::Input in(data, size);
  const uint8_t settings = in.Byte();
  const bool ngLayout = settings & 0x01;
  // Mostly the exact size; sometimes a byte short, a byte over, or past the image.
  static const int kSizeChanges[] = {0, 0, 0, 0, -1, 1, kFlashImageSize + 1 - kClassicFileSize, -kClassicFileSize};
  int sizeChange = kSizeChanges[(settings >> 1) & 0x07];
  if (ngLayout && sizeChange == kFlashImageSize + 1 - kClassicFileSize) sizeChange = kFlashImageSize + 1 - kNGFileSize;
  if (ngLayout && sizeChange == -kClassicFileSize) sizeChange = -kNGFileSize;
  const bool isNG = (settings & 0x10) ? !ngLayout : ngLayout;  // now and then the other generation's file

  static QByteArray file;
  MakeFile(in, ngLayout, sizeChange, file);
  InstrumentIdentity instrument;
  instrument.IsNG = isNG;
  instrument.InstrumentKind = settings & 0x20 ? 9 : 10;
  instrument.InstFlashVersion = in.Piece().left(12);
  instrument.InstFlashType = in.Bytes(in.Byte() % 3);
  const uint8_t answers = in.Byte();
  const QByteArray image = in.Rest();
  for (qsizetype i = 0; i < image.size() && i < file.size(); ++i)
    if (i < kClassicDate) file[i] = image[i];  // the fields stay as chosen above

  CheckLoad(*flash, file, isNG);
  if (fuzz::OneIn(kDialogueOneIn, data, size))
    CheckDialogue(*flash, fuzz::ScratchFile(QStringLiteral("firmware.bin"), file), file, instrument, answers);
  return 0;
}
