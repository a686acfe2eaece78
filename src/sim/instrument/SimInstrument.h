#pragma once
// The simulated instrument: answers the instrument command set on bare
// messages, rebuilds the firmware image it is sent and checks every page sum.
// Transports (pseudo-terminal, simulated IrDA) wrap it; fault modes are named
// so that every error path can be exercised on purpose.

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "core/Numbers.h"
#include "sim/instrument/CommandRecord.h"

namespace zelvo {
class TTimer;
}

namespace zelvo::sim {

struct SimInstrumentConfig {
  int kind = 9;                    // WHO answer: 9 ZelvoPro, 10 ZelvoLTD, ...
  QByteArray version = "9.12";     // VFL answer; 9.0 and above is NG
  QByteArray type = "A";           // FLV answer (first byte)
  quint32 powerOnSeconds = 3600;   // RSC answer
  // After its "ACKBYE" to the program command the instrument restarts: it
  // answers nothing for this long, then answers as the firmware it holds.
  int restartMs = 3000;
};

// Named fault modes. Page numbers count from 0; -1 is off.
struct SimFaults {
  bool silent = false;              // never answers anything
  int replyDelayMs = 0;             // every reply comes this much later
  int wrongAckAtPage = -1;          // acknowledges page k+2 instead of k
  int noAckAtPage = -1;             // never acknowledges page k
  int dropLinkAtPage = -1;          // drops the link when page k arrives
  int silentFromPage = -1;          // answers nothing from page k on; the link stays up
  bool pfmWithoutAckBye = false;    // answers "PFM" with "NAK"
  bool noise = false;               // bytes outside frames around every reply
  int splitReplies = 0;             // cut every reply into pieces of this size (0: whole)
  bool noTake = false;              // comes back from its restart with the firmware it had
  bool noRestart = false;           // never answers again after its restart
};

// The ranges of the numeric items. A page number is sent in two bytes.
inline constexpr NumberRange kKindRange{0, 255};
inline constexpr NumberRange kRestartRangeS{0, 3600};  // fractions allowed
inline constexpr NumberRange kReplyDelayRangeMs{0, 60000};
inline constexpr NumberRange kPageRange{0, 65535};
inline constexpr NumberRange kSplitRange{0, 65535};

// One item, "key=value" or a flag, into a configuration and faults. False
// when the key is not an instrument item; else ok tells whether the value
// was taken, and range (when it was not) the range the value must lie in.
bool ParseInstrumentOption(const QString& key, const QString& value, SimInstrumentConfig& config, SimFaults& faults,
                           bool* ok, QString* range);
// Reads "kind=10,version=7.5,type=P,restart=S,delay=20,wrong-ack-at=3,
// no-ack-at=K,drop-at=K,silent-at=K,split=N,pfm-nak,silent,noise,no-take,
// no-restart" into a configuration and faults (restart in seconds, fractions
// allowed). False, with error naming the item (and its range), when an item
// is not understood.
bool ParseSimulationOptions(const QString& text, SimInstrumentConfig& config, SimFaults& faults, QString* error);
// The optional value of --simulate, told apart from a file name.
bool LooksLikeSimulationOptions(const QString& text);

class SimInstrument {
 public:
  explicit SimInstrument(SimInstrumentConfig config = {}, SimFaults faults = {});
  ~SimInstrument();
  SimInstrument(const SimInstrument&) = delete;
  SimInstrument& operator=(const SimInstrument&) = delete;

  enum class Action { Reply, Silent, DropLink };
  struct Outcome {
    Action action = Action::Silent;
    QByteArray reply;  // bare reply, when action is Reply
  };
  // One bare command from the host.
  Outcome Handle(const QByteArray& message);

  const SimInstrumentConfig& Config() const { return config_; }
  // Another instrument of the same kind in its place, running version.
  void SetVersion(const QByteArray& version) { config_.version = version; }
  const SimFaults& Faults() const { return faults_; }
  void SetFaults(const SimFaults& faults) { faults_ = faults; }
  bool IsNG() const;
  int PageStep() const { return IsNG() ? 126 : 62; }
  int ImageSize() const { return IsNG() ? 49154 : 32258; }

  // What the host did. The first three bytes of the latest commands (the
  // last RecentEntries::kKept), how many commands arrived in all, and how
  // many times one of the command set ("ENQ", "WEP", ...) arrived.
  QList<QByteArray> Commands() const { return commands_.Recent(); }
  qint64 CommandsReceived() const { return commands_.Total(); }
  int CountOf(const QByteArray& command) const { return commands_.CountOf(command); }
  // The image rebuilt from the pages received (ImageSize bytes).
  QByteArray RebuiltImage() const { return image_.left(ImageSize()); }
  int PagesReceived() const { return pagesReceived_; }
  int PageSumErrors() const { return pageSumErrors_; }
  int PageLengthErrors() const { return pageLengthErrors_; }
  QList<int> LoaderIndexes() const { return loaderIndexes_.List(); }  // the latest ones
  QByteArray Loader() const { return loader_; }  // 512 bytes from the four chunks
  bool Programmed() const { return programmed_; }
  bool StoodBy() const { return stoodBy_; }

  // The restart after the program command: under way (silent) from its
  // "ACKBYE" on, for restartMs of the window timers' clock, then the
  // instrument is back, answering with the version and type letter read
  // from the image it rebuilt (with no-take: those it had; with no-restart
  // it never comes back).
  bool Restarting() const { return restarting_; }
  int Restarts() const { return restarts_; }  // restarts completed
  // The instrument is back from its restart (main thread).
  std::function<void()> OnBack;

 private:
  SimInstrumentConfig config_;
  SimFaults faults_;
  CommandRecord<QByteArray> commands_;
  QByteArray image_;
  bool silenced_ = false;  // silent-at reached
  int pagesReceived_ = 0;
  int pageSumErrors_ = 0;
  int pageLengthErrors_ = 0;
  RecentEntries<int> loaderIndexes_;
  QByteArray loader_;
  bool programmed_ = false;
  bool stoodBy_ = false;
  bool restarting_ = false;
  int restarts_ = 0;
  std::unique_ptr<TTimer> restart_;
};

}  // namespace zelvo::sim
