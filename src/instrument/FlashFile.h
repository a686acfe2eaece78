#pragma once
// Firmware file (*.bin) and its acceptance.
//
// The file is a raw image of the instrument's program memory, in one of two
// fixed layouts chosen by the instrument's generation, never by the file:
//
//   classic: exactly 32,258 bytes (0x7E02)
//     0x7DC4  19 bytes  build date, ASCII, shown verbatim
//     0x7DD8   4 bytes  version text, verbatim
//     0x7DDE   1 byte   type letter; 0xFF means "no type" (a single space)
//   NG: exactly 49,154 bytes (0xC002)
//     0xBFC4  19 bytes  build date
//     0xBFD8   2 bytes  version in hundredths, little-endian (912 -> "9.12")
//     0xBFDA   1 byte   extra character, kept only
//     0xBFDC   1 byte   type letter, taken as it is
//
// Every byte of the file is image content sent to the instrument.

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace zelvo {

inline constexpr int kFlashImageSize = 65536;
inline constexpr int kClassicFileSize = 32258;
inline constexpr int kNGFileSize = 49154;

// Text to number with "." as the decimal separator (English, United States)
// first, then the system's number format; 0 when neither reads it.
double VersionToNumber(const QByteArray& text);
// The English (United States) reading alone; nothing when it is not a number.
std::optional<double> EnglishNumber(const QByteArray& text);

class TFlashFile {
 public:
  TFlashFile();

  // Puts a file's bytes into FlashImage from offset 0 and fills the fields.
  // Returns false (and leaves image and fields as they were) when their length
  // is not the one of the generation given. Bytes past the end of a shorter
  // file keep their earlier contents.
  bool LoadFlashBytes(const QByteArray& bytes, bool isNG);
  // Reads fileName and loads its bytes as LoadFlashBytes does; false as well
  // when the file cannot be read.
  bool LoadFlashFile(const QString& fileName, bool isNG);

  const QByteArray& FlashImage() const { return flashImage_; }
  // The bytes of the file loaded last (none before the first).
  QByteArray FileBytes() const { return flashImage_.left(fileSize_); }
  const QByteArray& FileFlashVersion() const { return fileFlashVersion_; }
  const QByteArray& FileFlashDate() const { return fileFlashDate_; }
  const QByteArray& FileFlashType() const { return fileFlashType_; }
  const QByteArray& FileExtraChar() const { return fileExtraChar_; }

 private:
  QByteArray flashImage_;
  QByteArray fileFlashVersion_;
  QByteArray fileFlashDate_;
  QByteArray fileFlashType_;
  QByteArray fileExtraChar_;
  qsizetype fileSize_ = 0;
};

// How a chosen firmware file is read: its bytes (at most one more than the
// image holds, which tells an over-long file from a full one), or nothing
// when it cannot be read.
using FlashFileReader = std::function<std::optional<QByteArray>(const QString& path)>;
std::optional<QByteArray> ReadFlashFile(const QString& path);

// What the file checks need to know of the connected instrument.
struct InstrumentIdentity {
  bool IsNG = false;
  int InstrumentKind = 0;        // 9: ZelvoPro; anything else: the ZelvoLTD family
  QByteArray InstFlashVersion;   // from VFL
  QByteArray InstFlashType;      // from FLV; a single space when not asked
};

// Panel texts of an accepted file.
struct AcceptedFlashFile {
  QString path;
  QByteArray upgradingTo;  // "Upgrading to: " + version + " " + type
  QByteArray flashDate;    // "(" + date + ")"
};

// Why a file choice ended without a file: the last step that sent the
// operator back to the file dialog before it was cancelled, or none.
enum class FileRefusal {
  NoneChosen,            // the dialog cancelled, nothing refused before
  NotValid,              // a file of the wrong size for the instrument's generation
  TypeDeclined,          // "... is different then the instrument type!" answered No
  UpgradeDeclined,       // "Upgrade To Version ..." answered No
  OlderVersionDeclined,  // "... older then the existing one!" answered No
  InstrumentGone,        // stillWanted said no
};

// The operator's file choice: open-file dialog, size check, type and version
// questions, looping until a file is accepted or the dialog is cancelled
// (nothing returned then, and *refusal, when given, says why). Runs entirely
// through the dialogs service. stillWanted, when given, is asked after every
// dialog: once it says no (the instrument went away meanwhile), the choice
// ends with nothing. read, when given, reads the file chosen instead of
// ReadFlashFile.
std::optional<AcceptedFlashFile> SelectFlashFile(TFlashFile& file, const InstrumentIdentity& instrument,
                                                 const std::function<bool()>& stillWanted = {},
                                                 FileRefusal* refusal = nullptr, const FlashFileReader& read = {});

// Texts of the file dialogue.
inline constexpr const char* kFlashFileFilter = "Binary File|*.bin";
QString InvalidFlashFileText(const InstrumentIdentity& instrument);

}  // namespace zelvo
