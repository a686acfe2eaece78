#pragma once
// What the commands that talk to an instrument share: the transport with the
// link and the instrument component on it, the trace file, and a look at the
// messages going by.

#include <QByteArray>
#include <QFile>
#include <functional>
#include <memory>
#include <optional>

#include "cli/Options.h"
#include "cli/Transport.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"

namespace zelvo::cli {

struct Console;

// The link and the instrument component, with the window's design values.
struct Instrument {
  Instrument();
  TKelLink link;
  TZelvoPro zelvo;
};

// The transport, then the link and the instrument component on it; a dock
// is given to the link.
struct Connection {
  TransportSetup transport;
  std::unique_ptr<Instrument> instrument;

  // False, with why set for the caller to report, when the transport cannot
  // be used. Through a dock the instrument is waited for (slave mode
  // included) for the identification time, or for connectTimeOut as
  // TKelLink::SetConnectTimeOut takes it.
  bool Open(const CommandOptions& options, QString* why, std::optional<int> connectTimeOut = std::nullopt);
  // A new link and instrument component on the open transport, for the next
  // instrument.
  void Renew(const CommandOptions& options, std::optional<int> connectTimeOut = std::nullopt);
};

// Appends the debug trace lines to a file, raw (as the debug window shows
// them) or with each message as hexadecimal bytes. A line that cannot be
// written ends the trace: nothing more is written and Lost() says why.
// One instrument's run writes at most kRunCapBytes: a peer that floods the
// link must not fill the disk. The line that would pass the cap is replaced
// by a line saying so, and the rest of that run is not written.
class TraceFile {
 public:
  static constexpr qint64 kRunCapBytes = 16 * 1024 * 1024;

  // False with error set, naming the path, when it cannot be opened.
  bool Open(const QString& path, TraceFormat format, QString* error);
  // A new instrument's run starts: its lines count from nothing.
  void StartRun() { runBytes_ = 0; capped_ = false; }
  // True when this line reached the run's cap and was not written.
  bool Write(bool sent, const QByteArray& data);
  // Why the trace is incomplete, naming the file; empty while it is whole.
  const QString& Lost() const { return lost_; }

 private:
  void Append(const QByteArray& line);

  QFile file_;
  QString path_;
  TraceFormat format_ = TraceFormat::Raw;
  QString lost_;
  qint64 runBytes_ = 0;
  bool capped_ = false;
};

// One trace line in the hexadecimal form: "SND#E6 45 4E 51 E7#".
QByteArray HexTraceLine(bool sent, const QByteArray& data);

// Instrument family as the results name it.
inline const char* FamilyName(int instrumentKind) { return instrumentKind == 9 ? "ZelvoPro" : "ZelvoLtd"; }

}  // namespace zelvo::cli
