#include "instrument/ZelvoPro.h"

#include <QPointer>
#include <QtEndian>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "core/Bytes.h"
#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "core/Timer.h"
#include "instrument/LoaderResource.h"
#include "link/KelLink.h"

namespace zelvo {

namespace {

constexpr int kEnqTimeOut = 7;
constexpr int kStandbyTimeOut = 5;
constexpr int kLastPage = 521;
constexpr int kClassicPageStep = 62;
constexpr int kNGPageStep = 126;
constexpr int kLoaderImageSize = 4096;
constexpr int kLoaderChunkSize = 128;

// Identification steps.
enum Step { kAfterEnq = 0, kAfterVfl = 1, kAfterWho = 2, kAfterRsc = 3, kAfterFlv = 4 };

bool HasAck(const QByteArray& reply) { return reply.contains("ACK"); }

// Blanks and control characters at both ends go.
QByteArray TrimControls(const QByteArray& text);

// What the instrument answers to "ENQ": "ACK" and nothing else.
bool IsEnqAnswer(const QByteArray& reply) { return TrimControls(reply) == "ACK"; }

// The question of an identification step.
QByteArray StepCommand(int step) {
  switch (step) {
    case kAfterEnq: return "ENQ";
    case kAfterWho: return "WHO";
    case kAfterRsc: return "RSC";
    case kAfterVfl: return "VFL";
    case kAfterFlv: return "FLV";
  }
  return {};
}

QByteArray TrimControls(const QByteArray& text) {
  qsizetype first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return text.mid(first, last - first);
}

// A decimal integer, as the instrument writes its kind: optional blanks around,
// optional sign, digits only.
std::optional<int> ToInteger(const QByteArray& text) {
  bool ok = false;
  const int value = TrimControls(text).toInt(&ok, 10);
  if (!ok) return std::nullopt;
  return value;
}

// Bit views over the EE records: a 16-bit little-endian word or a byte.
bool WordBit(const QByteArray& record, int offset, int bit) {
  return (LittleEndian16At(record, offset) >> bit) & 1;
}

void SetWordBit(QByteArray& record, int offset, int bit, bool value) {
  quint16 word = LittleEndian16At(record, offset);
  word = value ? (word | (1u << bit)) : (word & ~(1u << bit));
  qToLittleEndian<quint16>(word, record.data() + offset);
}

bool ByteBit(const QByteArray& record, int offset, int bit) {
  return (static_cast<unsigned char>(record[offset]) >> bit) & 1;
}

void SetByteBit(QByteArray& record, int offset, int bit, bool value) {
  unsigned char byte = static_cast<unsigned char>(record[offset]);
  byte = value ? (byte | (1u << bit)) : (byte & ~(1u << bit));
  record[offset] = static_cast<char>(byte);
}

constexpr int kUnitFlagsWord = 4;
constexpr int kUnitFlagsByte = 16;
constexpr int kSensorFlagsWord = 32;

}  // namespace

TZelvoPro::TZelvoPro(QObject* owner)
    : QObject(owner),
      loaderImage_(kLoaderImageSize, '\0'),
      unitEE_(kEERecordSize, '\0'),
      sensorEE_(kEERecordSize, '\0'),
      thirdEE_(kEERecordSize, '\0') {}

TZelvoPro::~TZelvoPro() = default;

InstrumentIdentity TZelvoPro::Identity() const {
  return InstrumentIdentity{isNG_, instrumentKind_, instFlashVersion_, instFlashType_};
}

void TZelvoPro::SetUnitEE(const QByteArray& record) {
  unitEE_ = record.leftJustified(kEERecordSize, '\0', true);
}

#define ZELVO_WORD_FLAG(Name, record, bit)                                               \
  bool TZelvoPro::Name() const { return WordBit(record, kUnitFlagsWord, bit); }         \
  void TZelvoPro::Set##Name(bool value) { SetWordBit(record, kUnitFlagsWord, bit, value); }
#define ZELVO_SENSOR_FLAG(Name, bit)                                                      \
  bool TZelvoPro::Name() const { return WordBit(sensorEE_, kSensorFlagsWord, bit); }     \
  void TZelvoPro::Set##Name(bool value) { SetWordBit(sensorEE_, kSensorFlagsWord, bit, value); }
#define ZELVO_BYTE_FLAG(Name, bit)                                                        \
  bool TZelvoPro::Name() const { return ByteBit(unitEE_, kUnitFlagsByte, bit); }         \
  void TZelvoPro::Set##Name(bool value) { SetByteBit(unitEE_, kUnitFlagsByte, bit, value); }
ZELVO_WORD_FLAG(StandardClamping, unitEE_, 1)
ZELVO_WORD_FLAG(AlternateClamping, unitEE_, 2)
ZELVO_WORD_FLAG(AlarmLatchEnabled, unitEE_, 3)
ZELVO_WORD_FLAG(TwaAlarmEnabled, unitEE_, 4)
ZELVO_WORD_FLAG(PeakAlarmEnabled, unitEE_, 5)
ZELVO_WORD_FLAG(StelAlarmEnabled, unitEE_, 7)
ZELVO_WORD_FLAG(GasIndicatorModeLTD, unitEE_, 8)
ZELVO_WORD_FLAG(IsRussian, unitEE_, 9)
ZELVO_WORD_FLAG(AlarmAckEnabled, unitEE_, 10)
ZELVO_WORD_FLAG(UltraShipMode, unitEE_, 11)
ZELVO_WORD_FLAG(DeadBattery, unitEE_, 12)
ZELVO_WORD_FLAG(VibrPowerSavemode, unitEE_, 13)
ZELVO_WORD_FLAG(MaxSensorResolution, unitEE_, 15)
ZELVO_SENSOR_FLAG(SensorNeedsZeroCal, 0)
ZELVO_SENSOR_FLAG(SensorNeedsSpanCal, 1)
ZELVO_BYTE_FLAG(DLStatus, 0)
ZELVO_BYTE_FLAG(NeverTurnOffMode, 1)
ZELVO_BYTE_FLAG(VibratorInstalled, 2)
ZELVO_BYTE_FLAG(CalDueLockOut, 6)
#undef ZELVO_WORD_FLAG
#undef ZELVO_SENSOR_FLAG
#undef ZELVO_BYTE_FLAG

// --- Link plumbing ---

bool TZelvoPro::LinkConnected() const { return kelLink_ && kelLink_->Connected(); }

void TZelvoPro::Send(const QByteArray& command, int timeOut) { kelLink_->SendMsg(command, timeOut); }

void TZelvoPro::WaitOn() {
  if (kelLink_) kelLink_->ReplyTimer()->SetEnabled(true);
}

// --- Going online and offline ---

void TZelvoPro::SetOnline(bool value) {
  if (!kelLink_) {
    ShowMessage(QLatin1String(kNoKelLink));
    return;
  }
  if (!value) {
    if (!kelLink_->Connected()) return;
    kelLink_->OnReceiveMsg = [this](QObject*, const QByteArray& data) { Standby(data); };
    Raise(OnStandbySent, this);
    Send("STB", kStandbyTimeOut);
    return;
  }
  protocolState_ = kAfterEnq;
  if (kelLink_->Connected()) {
    identifying_ = true;
    enqAnswersDue_ = 0;
    questionTimedOut_ = false;
    kelLink_->OnTimeOut = [this](QObject*, quint16) { ResendEnq(); };
    kelLink_->OnReceiveMsg = [this](QObject*, const QByteArray& data) { Identification(data); };
    Raise(OnIdentifying, this);
    Send("ENQ", kEnqTimeOut);
    return;
  }
  kelLink_->SetInstrumentType(TKelType::tpZelvoPro);
  kelLink_->OnLinkUp = [this](QObject*, bool status) { LinkUp(status); };
  kelLink_->OnLinkDown = [this](QObject*, bool status) { LinkDown(status); };
  kelLink_->SetConnected(true);
}

void TZelvoPro::LinkUp(bool status) {
  if (status) {
    SetOnline(true);
    return;
  }
  onLine_ = false;
  ShowMessage(QStringLiteral("Error on \"OnLinkIsUp\" Status = False"));
}

void TZelvoPro::LinkDown(bool status) {
  if (status) {
    ShowMessage(QStringLiteral("Error on \"OnLinkIsDown\" Status=True"));
    return;
  }
  onLine_ = false;
  identifying_ = false;
  Raise(OnIsOnline, this, false);
}

void TZelvoPro::ResendEnq() {
  if (!LinkConnected()) return;
  // A later step's question went unanswered: the instrument is asked whether
  // it is there at all. Its "ACK" is then no answer to that question.
  if (identifying_ && protocolState_ != kAfterEnq) {
    ++enqAnswersDue_;
    questionTimedOut_ = true;
  }
  Send("ENQ", kEnqTimeOut);
}

void TZelvoPro::Ask(int step) {
  protocolState_ = step;
  questionTimedOut_ = false;
  Send(StepCommand(step), timeOut_);
}

void TZelvoPro::Identification(const QByteArray& data) {
  ProcessMessages();
  if (!LinkConnected()) return;
  if (!identifying_) return;  // a late answer after going online
  if (protocolState_ != kAfterEnq && enqAnswersDue_ > 0 && IsEnqAnswer(data)) {
    // The answer to a re-sent "ENQ": the instrument is there. Its question
    // is asked again when it had timed out, else its answer is still awaited.
    --enqAnswersDue_;
    if (questionTimedOut_) return Ask(protocolState_);
    return WaitOn();
  }
  const int ack = Pos("ACK", data);  // 1-based, 0 when absent
  switch (protocolState_) {
    case kAfterEnq:
      if (!ack) return WaitOn();
      return Ask(kAfterWho);

    case kAfterWho: {
      // A bare "ACK" carries no kind: treated as an unexpected reply.
      if (!ack || data.size() < 4) return WaitOn();
      const QByteArray text = CopyFrom(data, ack + 3);
      const std::optional<int> kind = ToInteger(text);
      if (!kind) {
        MessageDlg(QStringLiteral("'%1' is not a valid integer value").arg(ToText(text)), MsgIcon::Error,
                   MsgButtons::OK);
        return;  // identification stops here
      }
      instrumentKind_ = *kind;
      return Ask(instrumentKind_ == 9 ? kAfterVfl : kAfterRsc);
    }

    case kAfterRsc: {
      // Four bytes of seconds must follow "ACK"; a shorter reply is asked again.
      const QByteArray seconds = Copy(data, ack + 3, 4);
      if (!ack || data.size() < 7 || seconds.size() < 4) return Ask(kAfterRsc);
      const quint32 count = LittleEndian32At(seconds, 0);
      powerOnDate_ = QDateTime::currentDateTime().addMSecs(-static_cast<qint64>(count) * 1000);
      return Ask(kAfterVfl);
    }

    case kAfterVfl: {
      if (!ack) return WaitOn();
      QByteArray version = TrimControls(CopyFrom(data, 4));
      if (!version.isEmpty() && !std::isdigit(static_cast<unsigned char>(version.back()))) version.chop(1);
      instFlashVersion_ = version;
      isNG_ = VersionToNumber(version) >= 9.0;
      kelLink_->SetWholeFrameMode(isNG_);
      const int first = ByteAt(version, 1);
      const int third = ByteAt(version, 3);
      if (first > '7' || (first == '7' && third > '5')) return Ask(kAfterFlv);
      instFlashType_ = " ";
      return GoOnline();
    }

    case kAfterFlv:
      if (!ack) return WaitOn();
      instFlashType_ = Copy(data, 4, 1);
      return GoOnline();
  }
}

void TZelvoPro::GoOnline() {
  onLine_ = true;
  identifying_ = false;
  kelLink_->OnTimeOut = [this](QObject*, quint16) { Raise(OnTimeOut, this); };
  Raise(OnIsOnline, this, true);
}

void TZelvoPro::Standby(const QByteArray& data) {
  // A reply to what "STB" overtook (a page's "ACK") comes first: the wait
  // for "ACKBYE" goes on.
  if (!data.contains("ACKBYE")) return WaitOn();
  Raise(OnStandbyAnswered, this);
  kelLink_->CloseLink();
}

// --- Pages, loader chunks, program command ---

void TZelvoPro::WritePage(int page, const QByteArray& data) {
  if (page > kLastPage || page < 0) ShowMessage(QStringLiteral("Page out of bounds!"));
  if (data.size() != (isNG_ ? 128 : 64)) ShowMessage(QStringLiteral("Wrong data length"));
  lastPageNumber_ = page;
  pageData_ = data;
  kelLink_->OnTimeOut = [this](QObject*, quint16) { WaitOn(); };  // no re-send: the wait goes on
  kelLink_->OnReceiveMsg = [this](QObject*, const QByteArray& reply) { PageAcknowledged(reply); };
  Send("WEP" + Chr(page >> 8) + Chr(page) + data, timeOut_);
}

void TZelvoPro::PageAcknowledged(const QByteArray& data) {
  // "ACK", then exactly two bytes: the acknowledged page, high byte first.
  const int ack = Pos("ACK", data);
  if (!ack || data.size() != ack + 4) return WaitOn();
  const int acknowledged = BigEndian16At(data, ack + 2);  // the two bytes after "ACK"
  const int sent = lastPageNumber_;
  int result = 0;
  if (acknowledged != sent) {
    // A neighbouring page gives the smaller number, any other page -1. Page 0
    // and page 1 would give 0, which means success: never for a wrong page.
    const int smaller = std::min(acknowledged, sent);
    result = std::abs(acknowledged - sent) >= 2 || smaller == 0 ? -1 : smaller;
  }
  Raise(OnSentEEPage, this, result);
}

void TZelvoPro::WriteLoaderChunk(int index, const QByteArray& data) {
  if (!LinkConnected()) {
    Raise(OnErrorWritingEE, this, index);
    return;
  }
  kelLink_->OnReceiveMsg = [this](QObject*, const QByteArray& reply) { LoaderAcknowledged(reply); };
  Raise(OnLoaderChunkSent, this, index);
  Send("WAE" + Chr(index + 3) + data, timeOut_);
}

void TZelvoPro::SendProgramCommand() {
  kelLink_->OnReceiveMsg = [this](QObject*, const QByteArray& reply) { ProgramReply(reply); };
  if (!kelLink_->Connected()) return;
  Raise(OnProgramCommandSent, this);
  Send("PFM", timeOut_);
}

void TZelvoPro::ProgramReply(const QByteArray& data) {
  if (data.contains("ACKBYE")) {
    kelLink_->CloseLink();
    Raise(OnProgFlashSent, this, 0);
    return;
  }
  Raise(OnProgFlashSent, this, 1);
}

// --- The programming sequence ---

QByteArray TZelvoPro::PagePayload(int position) const {
  const QByteArray& image = flashFile_.FlashImage();
  QByteArray payload = image.mid(position, isNG_ ? kNGPageStep : kClassicPageStep);
  quint16 sum = 0;
  for (char byte : payload) sum = static_cast<quint16>(sum + static_cast<unsigned char>(byte));
  return payload + Chr(sum >> 8) + Chr(sum);
}

void TZelvoPro::StartFlashUpload() {
  pagePosition_ = 0;
  imageSize_ = isNG_ ? kNGFileSize : kClassicFileSize;
  pageStep_ = isNG_ ? kNGPageStep : kClassicPageStep;
  pageCounter_ = 0;
  OnSentEEPage = [this](QObject*, int error) { PageSequencer(error); };
  WritePage(0, PagePayload(0));
}

void TZelvoPro::PageSequencer(int error) {
  if (error != 0) {
    QPointer<TZelvoPro> self(this);
    ShowMessage(QLatin1String(kErrorSendingFlash));
    if (self) Raise(OnUploadHalted, this, UploadHalt::WrongPageAcknowledged);
    return;
  }
  ++pageCounter_;
  pagePosition_ += pageStep_;
  if (pagePosition_ < imageSize_) {
    WritePage(pageCounter_, PagePayload(pagePosition_));
    Raise(OnFlashProgress, this, pagePosition_, imageSize_);
    return;
  }
  if (isNG_)
    SendLoader();
  else
    SendProgramCommand();
}

QByteArray TZelvoPro::LoaderChunkData(int chunk) const {
  return loaderImage_.mid(chunk * kLoaderChunkSize, kLoaderChunkSize);
}

void TZelvoPro::SendLoader() {
  const std::optional<QByteArray> loader = FindProgramResource(kLoaderResourceType, kLoaderResourceName);
  if (!loader) {
    MessageDlg(QStringLiteral("Resource %1 not found").arg(QLatin1String(kLoaderResourceName)), MsgIcon::Error,
               MsgButtons::OK);
    return;
  }
  const qsizetype count = std::min<qsizetype>(loader->size(), kLoaderImageSize);
  std::copy(loader->cbegin(), loader->cbegin() + count, loaderImage_.begin());
  loaderChunk_ = 0;
  WriteLoaderChunk(0, LoaderChunkData(0));
}

void TZelvoPro::LoaderAcknowledged(const QByteArray& data) {
  if (!HasAck(data)) {
    QPointer<TZelvoPro> self(this);
    ShowMessage(QLatin1String(kErrorSendingLoader));
    if (self) Raise(OnUploadHalted, this, UploadHalt::LoaderChunkRefused);
    return;
  }
  ++loaderChunk_;
  if (loaderChunk_ >= kLoaderChunks) {
    SendProgramCommand();
    return;
  }
  WriteLoaderChunk(loaderChunk_, LoaderChunkData(loaderChunk_));
}

}  // namespace zelvo
