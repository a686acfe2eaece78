#pragma once
// TDockEnumerator: finds docking stations on the local network.
//
// A search broadcasts "ENQ" by UDP to the enquiry port of the wanted dock
// kind and, for ten seconds, listens on the kind's answer port. Every answer
// whose text names the kind (contains DockIdent) lists its sender: one entry
// per dotted address in DockAddresses, in order of first arrival, its name
// (the latest answer's text, at most kAnswerBufferSize bytes) at the same
// index of DockNames; OnListChanged is raised when an entry is added or its
// name changes. At most kMaxDocks are listed: any host on the network may
// answer, as often as it likes. The lists are cleared only by the next
// search.
//
//   kind              answers on  enquiry to  DockIdent
//   tpKovaExpress     6457        6458        "KovaExpress"
//   tpMP_KovaExpress  6459        6460        "MP KovaExpress"
//   tpKova6           6461        6462        "Kova6"
//   tpDorrim          6463        6464        "Dorrim"
//
// Main thread only; the answers arrive through the event loop. The listen
// time follows a zelvo::ManualClock when one exists (tests).

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include "core/Events.h"
#include "core/Timer.h"
#include "net/WSocket.h"

namespace zelvo {

enum class TPDockType : quint8 {
  tpKovaExpress,     // 0
  tpMP_KovaExpress,  // 1
  tpKova6,           // 2
  tpDorrim           // 3
};

// Ports (decimal texts, as the sockets take them) and identification text of
// one dock kind.
struct TPDockKind {
  const char* listenPort;   // the answers arrive here
  const char* enquiryPort;  // the enquiry is sent there
  const char* dockIdent;    // an answer counts when its text contains this
};
const TPDockKind& DockKindOf(TPDockType type);

class TDockEnumerator : public QObject {
 public:
  static constexpr int kAnswerBufferSize = 1024;  // bytes read of one answer
  static constexpr int kListenTimeMs = 10000;
  static constexpr int kMaxDocks = 256;  // entries listed; answers from further addresses are not

  explicit TDockEnumerator(QObject* owner = nullptr);
  ~TDockEnumerator() override;

  // Begins a search (closing and reopening the listen socket of a search
  // still running, which then listens a full ten seconds again).
  // Throws ESocketException, with no enquiry sent and nothing listening:
  //  - the listen socket cannot be bound (the port taken by another program:
  //    ListenPortInUse); the lists keep their entries;
  //  - the enquiry socket cannot be opened; the lists have been cleared.
  // An enquiry that cannot be sent raises OnEnumerationStartFailed, or shows
  // "Could not start dock auto detection, check your network!" when that is
  // not assigned; the search goes on either way.
  void StartEnumeration();
  // The error StartEnumeration threw means the answer port is in use.
  static bool ListenPortInUse(const ESocketException& error);

  TPDockType DockType() const { return dockType_; }
  void SetDockType(TPDockType type) { dockType_ = type; }
  // Where the enquiry goes: the limited broadcast address "255.255.255.255".
  // A simulated dock on loopback is reached by pointing it at that address.
  QString EnquiryAddress() const { return enquiryAddress_; }
  void SetEnquiryAddress(const QString& address) { enquiryAddress_ = address; }
  // DockIdent of the last search (of DockType's kind before any search).
  QByteArray DockIdent() const { return dockIdent_; }
  bool Listening() const { return listening_; }

  // The text of an answer: its payload up to the first zero byte, never
  // beyond length bytes.
  static QByteArray AnswerText(const char* payload, int length);
  // The answer handler past the receive: received bytes of one datagram (at
  // most kAnswerBufferSize) from the dotted address sender. Listed, or its
  // entry's name replaced, with OnListChanged, when its text contains
  // DockIdent.
  void TakeAnswer(const char* datagram, int received, const QString& sender);
  // The entry the latest OnListChanged was raised for.
  int ChangedEntry() const { return changedEntry_; }
  // Answers from more addresses than kMaxDocks came in this search.
  bool ListFull() const { return listFull_; }

  TNotifyEvent OnListChanged;
  TNotifyEvent OnEnumerationStartFailed;

  QStringList DockNames;
  QStringList DockAddresses;

 private:
  void SendEnquiry();
  void StopListening();
  void AnswerArrived();

  TWSocket listenSocket_;
  TWSocket broadcastSocket_;
  TTimer listenTimer_;
  QByteArray dockIdent_;
  QString enquiryAddress_ = QStringLiteral("255.255.255.255");
  TPDockType dockType_ = TPDockType::tpKovaExpress;
  bool listening_ = false;
  int changedEntry_ = -1;
  bool listFull_ = false;
};

}  // namespace zelvo
