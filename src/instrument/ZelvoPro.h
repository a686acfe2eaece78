#pragma once
// TZelvoPro: the instrument's command language on top of the link.
//
// The component never touches a transport: it hands the link a command text
// and a time-out, and before each command points the link's reply, time-out
// and state events at its own handler for that reply. Exactly one command is
// outstanding at a time, because each next command is sent from the handler of
// the previous reply.
//
// Commands (framing is the link's business):
//   "ENQ"            7 s     any reply containing "ACK"
//   "WHO"            TimeOut "ACK" + decimal instrument kind (9: ZelvoPro)
//   "RSC"            TimeOut "ACK" + u32 little-endian seconds since power-on
//   "VFL"            TimeOut "ACK" + firmware version text
//   "FLV"            TimeOut "ACK" + firmware type letter
//   "STB"            5 s     "ACKBYE": the instrument stands by; close the link
//   "WEP" hi lo data TimeOut "ACK" + acknowledged page, high byte first
//   "WAE" idx data   TimeOut any reply containing "ACK"
//   "PFM"            TimeOut "ACKBYE": success, anything else: failure

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <functional>

#include "core/Events.h"
#include "instrument/FlashFile.h"

namespace zelvo {

class TKelLink;

// Why the programming sequence stopped on a reply it cannot go on from.
enum class UploadHalt { WrongPageAcknowledged, LoaderChunkRefused };

class TZelvoPro : public QObject {
 public:
  explicit TZelvoPro(QObject* owner = nullptr);
  ~TZelvoPro() override;

  // --- Properties and events this system uses ---
  TKelLink* KelLink() const { return kelLink_; }
  void SetKelLink(TKelLink* link) { kelLink_ = link; }
  int TimeOut() const { return timeOut_; }
  void SetTimeOut(int seconds) { timeOut_ = seconds; }
  bool OnLine() const { return onLine_; }
  QDateTime ZelvoLtdPowerOnDate() const { return powerOnDate_; }

  TLinkStatus OnIsOnline;                          // (Sender, Status)
  TNotifyEvent OnTimeOut;                          // a link time-out after identification
  TNotifyEvent OnIdentifying;                      // identification begins on a link that is up
  TSentEE OnSentEEPage;                            // result of one page acknowledgement
  TSentEE OnProgFlashSent;                         // 0 success, 1 failure
  TOnProgress OnFlashProgress;                     // (Sender, Position, Total)
  std::function<void(QObject*, int)> OnErrorWritingEE;  // (Sender, EEType): chunk index
  // The sequence stopped (its message has been shown); nothing more is sent.
  std::function<void(QObject*, UploadHalt)> OnUploadHalted;
  // A step of the sequence or of the release about to be written to the
  // link (raised first: through a dock its answer can come inside the
  // write): a part of the NG flash loader (its index), the program command,
  // "STB"; and the instrument's "ACKBYE" to "STB".
  std::function<void(QObject*, int)> OnLoaderChunkSent;
  TNotifyEvent OnProgramCommandSent, OnStandbySent, OnStandbyAnswered;

  // --- Operations ---
  // True starts identification; False asks the instrument to stand by.
  void SetOnline(bool value);
  void WritePage(int page, const QByteArray& data);
  void WriteLoaderChunk(int index, const QByteArray& data);
  void SendProgramCommand();
  // The programming sequence: pages, loader (NG), program command.
  void StartFlashUpload();
  void SendLoader();

  // --- What identification found ---
  int ProtocolState() const { return protocolState_; }
  int InstrumentKind() const { return instrumentKind_; }
  const QByteArray& InstFlashVersion() const { return instFlashVersion_; }
  const QByteArray& InstFlashType() const { return instFlashType_; }
  bool IsNG() const { return isNG_; }
  void SetIsNG(bool value) { isNG_ = value; }  // the hidden "Load File" button sets it
  InstrumentIdentity Identity() const;

  // --- Firmware file and programming state ---
  TFlashFile& FlashFile() { return flashFile_; }
  bool LoadFlashFile(const QString& fileName) { return flashFile_.LoadFlashFile(fileName, isNG_); }
  const QByteArray& FlashImage() const { return flashFile_.FlashImage(); }
  const QByteArray& FileFlashVersion() const { return flashFile_.FileFlashVersion(); }
  const QByteArray& FileFlashDate() const { return flashFile_.FileFlashDate(); }
  const QByteArray& FileFlashType() const { return flashFile_.FileFlashType(); }
  const QByteArray& FileExtraChar() const { return flashFile_.FileExtraChar(); }
  int LastPageNumber() const { return lastPageNumber_; }
  int PagePosition() const { return pagePosition_; }
  int PageCounter() const { return pageCounter_; }
  int ImageSize() const { return imageSize_; }
  int PageStep() const { return pageStep_; }
  int LoaderChunk() const { return loaderChunk_; }
  static constexpr int kLoaderChunks = 4;  // parts of the NG flash loader
  const QByteArray& LoaderImage() const { return loaderImage_; }

  // Payload of the page at a position: PageStep image bytes and their 16-bit
  // sum, high byte first.
  QByteArray PagePayload(int position) const;

  // --- EE records and their flag views (stored; nothing sends them) ---
  static constexpr int kEERecordSize = 69;
  const QByteArray& UnitEE() const { return unitEE_; }
  void SetUnitEE(const QByteArray& record);
  const QByteArray& SensorEE() const { return sensorEE_; }
  const QByteArray& ThirdEE() const { return thirdEE_; }

#define ZELVO_EE_FLAG(Name) \
  bool Name() const;        \
  void Set##Name(bool value);
  ZELVO_EE_FLAG(StandardClamping)
  ZELVO_EE_FLAG(AlternateClamping)
  ZELVO_EE_FLAG(AlarmLatchEnabled)
  ZELVO_EE_FLAG(TwaAlarmEnabled)
  ZELVO_EE_FLAG(PeakAlarmEnabled)
  ZELVO_EE_FLAG(StelAlarmEnabled)
  ZELVO_EE_FLAG(GasIndicatorModeLTD)
  ZELVO_EE_FLAG(IsRussian)
  ZELVO_EE_FLAG(AlarmAckEnabled)
  ZELVO_EE_FLAG(UltraShipMode)
  ZELVO_EE_FLAG(DeadBattery)
  ZELVO_EE_FLAG(VibrPowerSavemode)
  ZELVO_EE_FLAG(MaxSensorResolution)
  ZELVO_EE_FLAG(SensorNeedsZeroCal)
  ZELVO_EE_FLAG(SensorNeedsSpanCal)
  ZELVO_EE_FLAG(DLStatus)
  ZELVO_EE_FLAG(NeverTurnOffMode)
  ZELVO_EE_FLAG(VibratorInstalled)
  ZELVO_EE_FLAG(CalDueLockOut)
#undef ZELVO_EE_FLAG

  // --- Published for other instrument functions; stored only ---
  TNotifyEvent OnGotUnitEE, OnGotSensorEE, OnErrorReadingEE, OnSentUnitEE, OnSentSensorEE,
      OnErrorSendingEEPage, OnGotRTC, OnErrorReadingRTC, OnErrorReadingGas, OnErrorWritingRTC,
      OnSentRTC, OnGotAlmTime, OnErrorRcvAlmTime, OnGotAlmParms, OnErrorRcvAlmParm, OnSentAlmParms,
      OnEventsDownloaded, OnEventLoggerCleared, OnDataloggerCleared, OnErrorDownloadingEvents,
      OnErrorClearingEvents, OnErrorClearingDatalogger, OnErrorDownloadingSessions, OnIsBlackbox,
      OnSessionsDownloaded, OnErrorDownloadingRecords, OnRecordsDownloaded, OnGotGasReading,
      OnGotCounts, OnErrorConvertingDateTime, OnErrorReadingCounts, OnInstIsShutdown, OnShutdownError;
  TOnProgress OnEvtDownloadProgress, OnSessDownloadProgress, OnRecDownloadProgress;
  QDateTime DateTime;
  int EventCounter = 0;
  int RecordsPerPacket = 4;
  int SessionCounter = 0;
  int RecordCounter = 0;
  bool DownloadBlackBox = false;
  QByteArray FlashFileNameA, FlashFileNameB, FlashFileNameC, FlashFileNameU, FlashFileNameV,
      FlashFileNameP, FlashFileNameNGA, FlashFileNameNGB, FlashFileNameNGS, FlashFileNameNGD;

 private:
  bool LinkConnected() const;
  void Send(const QByteArray& command, int timeOut);
  void WaitOn();  // re-arm the link's reply timer and keep the step

  void LinkUp(bool status);
  void LinkDown(bool status);
  void ResendEnq();
  void Ask(int step);  // moves to an identification step and sends its question
  void Identification(const QByteArray& data);
  void GoOnline();
  void Standby(const QByteArray& data);
  void PageAcknowledged(const QByteArray& data);
  void LoaderAcknowledged(const QByteArray& data);
  void ProgramReply(const QByteArray& data);
  void PageSequencer(int error);
  QByteArray LoaderChunkData(int chunk) const;

  TKelLink* kelLink_ = nullptr;
  int timeOut_ = 30;
  bool onLine_ = false;
  QDateTime powerOnDate_;

  int protocolState_ = 0;
  bool identifying_ = false;       // replies are judged by the identification steps
  int enqAnswersDue_ = 0;          // "ENQ"s re-sent after a step's question whose "ACK" has not come
  bool questionTimedOut_ = false;  // the current step's question went unanswered
  int instrumentKind_ = 0;
  QByteArray instFlashVersion_;
  QByteArray instFlashType_;
  bool isNG_ = false;
  int lastPageNumber_ = 0;
  QByteArray pageData_;

  TFlashFile flashFile_;
  int pagePosition_ = 0;
  int imageSize_ = 0;
  int pageStep_ = 0;
  int pageCounter_ = 0;
  QByteArray loaderImage_;
  int loaderChunk_ = 0;

  QByteArray unitEE_, sensorEE_, thirdEE_;
};

// Texts of the component.
inline constexpr const char* kNoKelLink = "No KelLink Assigned!";
inline constexpr const char* kErrorSendingFlash = "Error sending Flash";
inline constexpr const char* kErrorSendingLoader = "Error sending Flash loader";

}  // namespace zelvo
