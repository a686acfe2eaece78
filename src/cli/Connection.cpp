#include "cli/Connection.h"

#include "cli/Commands.h"
#include "cli/Docks.h"
#include "cli/Report.h"
#include "core/MessagePump.h"
#include "dock/DockKinds.h"
#include "session/UploadSession.h"

namespace zelvo::cli {

Instrument::Instrument() { ApplyDesignTimeValues(link, zelvo); }

namespace {

// The link looks for its transport 100 ms after it is created (the IrDA
// stack, or the IrCOMM virtual port); a person pressing Start is never that
// quick, a command line is.
void WaitForStartupProbe(TKelLink& link) {
  WaitUntil([&] { return !link.ReplyTimer()->Enabled(); }, 2000);
}

}  // namespace

bool Connection::Open(const CommandOptions& options, QString* why, std::optional<int> connectTimeOut) {
  if (!transport.Prepare(options.transport, why)) return false;  // the caller reports why
  Renew(options, connectTimeOut);
  return true;
}

void Connection::Renew(const CommandOptions& options, std::optional<int> connectTimeOut) {
  instrument.reset();  // its link lets go of the dock's events first
  instrument = std::make_unique<Instrument>();
  // The dock on the link by its kind, as the operator's choice of a dock does.
  if (TDockProtocol* dock = transport.Dock()) {
    AssignLinkDock(instrument->link, transport.DockKindUsed(), dock);
    instrument->link.SetDefaultTimeOut(options.identifyTimeoutS);
    instrument->link.SetConnectTimeOut(connectTimeOut);
  }
  WaitForStartupProbe(instrument->link);
}

QByteArray HexTraceLine(bool sent, const QByteArray& data) { return TraceLine(sent, data.toHex(' ').toUpper()); }

bool TraceFile::Open(const QString& path, TraceFormat format, QString* error) {
  format_ = format;
  path_ = path;
  return OpenTraceFile(file_, path, error);
}

bool TraceFile::Write(bool sent, const QByteArray& data) {
  if (!file_.isOpen() || capped_) return false;
  const QByteArray line = (format_ == TraceFormat::Hex ? HexTraceLine(sent, data) : TraceLine(sent, data)) + '\n';
  if (runBytes_ + line.size() <= kRunCapBytes) {
    runBytes_ += line.size();
    Append(line);
    return false;
  }
  capped_ = true;
  Append(QStringLiteral("# the trace of this run reached its cap of %1 MiB; its later messages are not written\n")
             .arg(kRunCapBytes >> 20)
             .toLatin1());
  return true;
}

void TraceFile::Append(const QByteArray& line) {
  if (file_.write(line) == line.size() && file_.flush()) return;
  lost_ = QStringLiteral("cannot write the trace file %1: %2; the trace is incomplete")
              .arg(path_, file_.errorString());
  file_.close();
}

}  // namespace zelvo::cli
