#include "net/DockEnumerator.h"

#include <QPointer>
#include <array>
#include <cstring>

#include "core/Dialogs.h"
#include "net/SocketErrors.h"

namespace zelvo {

namespace {

constexpr std::array<TPDockKind, 4> kDockKinds{{
    {"6457", "6458", "KovaExpress"},
    {"6459", "6460", "MP KovaExpress"},
    {"6461", "6462", "Kova6"},
    {"6463", "6464", "Dorrim"},
}};

const QByteArray kEnquiry = QByteArrayLiteral("ENQ");

}  // namespace

const TPDockKind& DockKindOf(TPDockType type) {
  const auto index = static_cast<size_t>(type);
  return kDockKinds[index < kDockKinds.size() ? index : 0];
}

TDockEnumerator::TDockEnumerator(QObject* owner)
    : QObject(owner), dockIdent_(DockKindOf(TPDockType::tpKovaExpress).dockIdent) {
  // Both sockets have no OnError handler: their errors are raised as
  // exceptions, which StartEnumeration passes on or catches.
  listenTimer_.SetEnabled(false);
  listenTimer_.OnTimer = [this](QObject*) { StopListening(); };
  listenSocket_.OnSessionConnected = [this](QObject*, quint16 error) {
    if (error == 0) listening_ = true;
  };
  listenSocket_.OnSessionClosed = [this](QObject*, quint16) { listening_ = false; };
  listenSocket_.OnDataAvailable = [this](QObject*, quint16) { AnswerArrived(); };
}

TDockEnumerator::~TDockEnumerator() {
  listenTimer_.SetEnabled(false);
  listenSocket_.Close();
}

bool TDockEnumerator::ListenPortInUse(const ESocketException& error) { return error.Code() == wsa::EADDRINUSE_; }

void TDockEnumerator::StartEnumeration() {
  // A search still running ends here; the new one gets its full time.
  listenTimer_.SetEnabled(false);
  if (listening_) listenSocket_.Close();

  const TPDockKind& kind = DockKindOf(dockType_);
  listenSocket_.SetPort(QString::fromLatin1(kind.listenPort));
  broadcastSocket_.SetPort(QString::fromLatin1(kind.enquiryPort));
  dockIdent_ = kind.dockIdent;

  if (!listening_) {
    listenSocket_.SetProto(QStringLiteral("udp"));
    listenSocket_.SetAddr(QStringLiteral("0.0.0.0"));
    listenSocket_.Listen();  // a failure is thrown to the caller
  }

  DockNames.clear();
  DockAddresses.clear();
  changedEntry_ = -1;
  listFull_ = false;

  QPointer<TDockEnumerator> self(this);
  SendEnquiry();
  if (!self) return;  // freed while its failure was being reported

  listenTimer_.SetInterval(kListenTimeMs);
  listenTimer_.SetEnabled(true);
}

void TDockEnumerator::SendEnquiry() {
  broadcastSocket_.SetProto(QStringLiteral("udp"));
  broadcastSocket_.SetAddr(enquiryAddress_);
  broadcastSocket_.SetLocalPort(QStringLiteral("0"));
  try {
    broadcastSocket_.Connect();  // fixes the destination
  } catch (...) {
    // Nothing can be sent: no search runs, so nothing is left listening
    // without its timer.
    StopListening();
    throw;
  }
  bool sent = false;
  try {
    sent = broadcastSocket_.SendText(kEnquiry) == kEnquiry.size();
  } catch (const ESocketException&) {
    sent = false;
  }
  broadcastSocket_.Close();
  if (sent) return;
  if (OnEnumerationStartFailed)
    Raise(OnEnumerationStartFailed, this);
  else
    ShowMessage(QStringLiteral("Could not start dock auto detection, check your network!"));
}

void TDockEnumerator::StopListening() {
  listenTimer_.SetEnabled(false);
  listenSocket_.Close();  // clears Listening
}

QByteArray TDockEnumerator::AnswerText(const char* payload, int length) {
  if (!payload || length <= 0) return {};
  const void* zero = std::memchr(payload, '\0', static_cast<size_t>(length));
  const int textLength = zero ? static_cast<int>(static_cast<const char*>(zero) - payload) : length;
  return QByteArray(payload, textLength);
}

void TDockEnumerator::AnswerArrived() {
  char buffer[kAnswerBufferSize];
  QString sender;
  const int received = listenSocket_.ReceiveDatagram(buffer, kAnswerBufferSize, &sender);
  if (received < 0) return;
  TakeAnswer(buffer, received, sender);
}

void TDockEnumerator::TakeAnswer(const char* datagram, int received, const QString& sender) {
  const QByteArray text = AnswerText(datagram, qMin(received, kAnswerBufferSize));
  if (!text.contains(dockIdent_)) return;
  const QString name = QString::fromLatin1(text);
  const qsizetype entry = DockAddresses.indexOf(sender);
  if (entry >= 0) {
    if (DockNames.at(entry) == name) return;  // a dock answering again
    DockNames[entry] = name;
  } else if (DockAddresses.size() >= kMaxDocks) {
    listFull_ = true;
    return;
  } else {
    DockNames.append(name);
    DockAddresses.append(sender);
  }
  changedEntry_ = static_cast<int>(entry >= 0 ? entry : DockAddresses.size() - 1);
  Raise(OnListChanged, this);
}

}  // namespace zelvo
