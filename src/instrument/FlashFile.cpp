#include "instrument/FlashFile.h"

#include <QFile>
#include <QLocale>

#include "core/Bytes.h"
#include "core/Dialogs.h"

namespace zelvo {

namespace {

// Classic layout offsets.
constexpr int kClassicDate = 32196;
constexpr int kClassicVersion = 32216;
constexpr int kClassicType = 32222;
// NG layout offsets.
constexpr int kNGDate = 49092;
constexpr int kNGVersion = 49112;
constexpr int kNGExtra = 49114;
constexpr int kNGType = 49116;
constexpr int kDateLength = 19;

std::optional<double> ToNumber(const QLocale& locale, const QByteArray& text) {
  QLocale strict = locale;
  strict.setNumberOptions(QLocale::RejectGroupSeparator);
  bool ok = false;
  const double value = strict.toDouble(QString::fromLatin1(text).trimmed(), &ok);
  if (!ok) return std::nullopt;
  return value;
}

// "Written in the system's general number format": the shortest text that
// reads back as the same number, without digit grouping (912 -> 9.12, 900 -> 9).
QByteArray GeneralNumberText(double value) {
  QLocale locale;  // the system's format unless the program chose another
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(value, 'g', QLocale::FloatingPointShortest).toLatin1();
}

}  // namespace

std::optional<double> EnglishNumber(const QByteArray& text) {
  return ToNumber(QLocale(QLocale::English, QLocale::UnitedStates), text);
}

double VersionToNumber(const QByteArray& text) {
  if (auto v = EnglishNumber(text)) return *v;
  if (auto v = ToNumber(QLocale(), text)) return *v;
  return 0.0;
}

TFlashFile::TFlashFile() : flashImage_(kFlashImageSize, '\0') {}

std::optional<QByteArray> ReadFlashFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  return file.read(kFlashImageSize + 1);
}

bool TFlashFile::LoadFlashFile(const QString& fileName, bool isNG) {
  const std::optional<QByteArray> bytes = ReadFlashFile(fileName);
  return bytes && LoadFlashBytes(*bytes, isNG);
}

bool TFlashFile::LoadFlashBytes(const QByteArray& bytes, bool isNG) {
  const int expected = isNG ? kNGFileSize : kClassicFileSize;
  if (bytes.size() != expected) return false;

  std::copy(bytes.cbegin(), bytes.cend(), flashImage_.begin());
  fileSize_ = bytes.size();
  const QByteArray& image = flashImage_;
  if (isNG) {
    const int hundredths = LittleEndian16At(image, kNGVersion);
    fileFlashVersion_ = GeneralNumberText(hundredths / 100.0);
    fileFlashType_ = image.mid(kNGType, 1);
    fileFlashDate_ = image.mid(kNGDate, kDateLength);
    fileExtraChar_ = image.mid(kNGExtra, 1);
  } else {
    fileFlashVersion_ = image.mid(kClassicVersion, 4);
    const unsigned char type = static_cast<unsigned char>(image[kClassicType]);
    fileFlashType_ = type == 0xFF ? QByteArray(" ") : Chr(type);
    fileFlashDate_ = image.mid(kClassicDate, kDateLength);
  }
  return true;
}

QString InvalidFlashFileText(const InstrumentIdentity& instrument) {
  const bool pro = instrument.InstrumentKind == 9;
  if (instrument.IsNG)
    return pro ? QStringLiteral("This is not a valid flash file for ZelvoPro NG!")
               : QStringLiteral("This is not a valid flash file for ZelvoLTD NG!");
  return pro ? QStringLiteral("This is not a valid flash file for ZelvoPro!")
             : QStringLiteral("This is not a valid flash file for ZelvoLTD (BP)!");
}

std::optional<AcceptedFlashFile> SelectFlashFile(TFlashFile& file, const InstrumentIdentity& instrument,
                                                 const std::function<bool()>& stillWanted, FileRefusal* refusal,
                                                 const FlashFileReader& read) {
  FileRefusal last = FileRefusal::NoneChosen;
  const auto endWith = [&](FileRefusal why) -> std::optional<AcceptedFlashFile> {
    if (refusal) *refusal = why;
    return std::nullopt;
  };
  const auto gone = [&] { return stillWanted && !stillWanted(); };
  for (;;) {
    const std::optional<QString> path = Dialogs().OpenFile(QString::fromLatin1(kFlashFileFilter));
    if (gone()) return endWith(FileRefusal::InstrumentGone);
    if (!path) return endWith(last);

    const std::optional<QByteArray> bytes = read ? read(*path) : ReadFlashFile(*path);
    if (!bytes || !file.LoadFlashBytes(*bytes, instrument.IsNG)) {
      MessageDlg(Prompt::InvalidFlashFile, InvalidFlashFileText(instrument), MsgIcon::Error, MsgButtons::OK);
      if (gone()) return endWith(FileRefusal::InstrumentGone);
      last = FileRefusal::NotValid;
      continue;
    }

    const QByteArray& fileType = file.FileFlashType();
    const QByteArray& instType = instrument.InstFlashType;
    const char fileFirst = fileType.isEmpty() ? '\0' : fileType.at(0);
    if (!instType.isEmpty() && instType.at(0) != ' ' && instType.at(0) != fileFirst) {
      const QByteArray question = "The flash file type that you are loading \"" + fileType +
                                  "\" is different then the instrument type!\rProceed anyway?";
      const MsgResult proceed =
          MessageDlg(Prompt::OtherFirmwareType, ToText(question), MsgIcon::Confirmation, MsgButtons::YesNo);
      if (gone()) return endWith(FileRefusal::InstrumentGone);
      if (proceed != MsgResult::Yes) {
        last = FileRefusal::TypeDeclined;
        continue;
      }
    }

    const MsgResult upgrade =
        MessageDlg(Prompt::UpgradeToVersion, ToText("Upgrade To Version " + file.FileFlashVersion()),
                   MsgIcon::Confirmation, MsgButtons::YesNo);
    if (gone()) return endWith(FileRefusal::InstrumentGone);
    if (upgrade != MsgResult::Yes) {
      last = FileRefusal::UpgradeDeclined;
      continue;
    }

    const double installed = VersionToNumber(instrument.InstFlashVersion);
    const double offered = VersionToNumber(file.FileFlashVersion());
    if (installed > 0 && offered > 0 && installed > offered) {
      const MsgResult older = MessageDlg(
          Prompt::OlderVersion,
          QStringLiteral("The flash version you are loading is older then the existing one!\rProceed anyway?"),
          MsgIcon::Confirmation, MsgButtons::YesNo);
      if (gone()) return endWith(FileRefusal::InstrumentGone);
      if (older != MsgResult::Yes) {
        last = FileRefusal::OlderVersionDeclined;
        continue;
      }
    }

    return AcceptedFlashFile{*path,
                             "Upgrading to: " + file.FileFlashVersion() + " " + fileType,
                             "(" + file.FileFlashDate() + ")"};
  }
}

}  // namespace zelvo
