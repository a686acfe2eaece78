// TDockEnumerator against simulated docks, by real UDP broadcast, inside a
// private network namespace this test makes for itself; and TWSocket's TCP
// connects that the namespace's routes refuse before anything is sent.
//
// The test process leaves its network namespace (unshare) before anything is
// sent, and checks that it did; its only way out is one end of a veth pair
// whose other end lies in the namespace of a helper process
// (zelvo_discovery_peer) playing the docks. Nothing reaches any other
// network. Without root, or where namespaces or veth pairs cannot be made,
// every test here is skipped with the reason.
#include <gtest/gtest.h>

#include <QProcess>
#include <QSet>
#include <QUdpSocket>
#include <vector>

#include "core/MessagePump.h"
#include "support/ScriptedDialogs.h"
#include "core/Timer.h"
#include "net/DockEnumerator.h"
#include "net/WSocket.h"
#include "support/PrivateNetworkTest.h"
#include "support/Pump.h"

using namespace zelvo;

namespace {

const char* const kDock2 = "10.211.0.2";
const char* const kDock3 = "10.211.0.3";

// This process in a namespace of its own, the helper in another, a veth pair
// between them.
class PeerNetwork {
 public:
  bool Make(QString* why) {
    if (!test::EnterPrivateNetwork(why)) return false;
    // From here on nothing this process sends can leave the namespace.
    peer_.setProgram(QStringLiteral(ZELVO_DISCOVERY_PEER));
    peer_.setArguments({"zd1", QStringLiteral("%1/24").arg(kDock2), QStringLiteral("%1/24").arg(kDock3)});
    peer_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer_.start();
    QByteArray line;
    if (!ReadReply(&line) || line != "unshared") return Fail(why, "discovery peer: " + line);
    const QString pid = QString::number(peer_.processId());
    if (!test::Ip({{"link", "add", "zd0", "type", "veth", "peer", "name", "zd1", "netns", pid},
                   {"addr", "add", "10.211.0.1/24", "dev", "zd0"},
                   {"link", "set", "zd0", "up"}},
                  why) ||
        !test::SetBroadcastRoute("zd0", true, why))
      return false;
    peer_.write("linked\n");
    if (!ReadReply(&line) || line != "ready") return Fail(why, "discovery peer: " + line);
    return test::WaitUntilRunning("zd0", why);
  }

  ~PeerNetwork() {
    if (peer_.state() == QProcess::NotRunning) return;
    peer_.write("quit\n");
    if (!peer_.waitForFinished(3000)) peer_.kill();
    peer_.waitForFinished(3000);
  }

  // One command to the peer; its reply without "ok".
  QByteArray Command(const QByteArray& line) {
    peer_.write(line + '\n');
    QByteArray reply;
    EXPECT_TRUE(ReadReply(&reply)) << line.toStdString();
    EXPECT_TRUE(reply.startsWith("ok")) << line.toStdString() << " -> " << reply.toStdString();
    return reply.mid(3);
  }
  void Answer(TPDockType kind, const char* address, const QByteArray& text) {
    Command("answer " + QByteArray::number(static_cast<int>(kind)) + ' ' + address + ' ' +
            (text.isEmpty() ? QByteArray("-") : text.toHex()));
  }
  int Answered() { return Command("count").toInt(); }
  bool SetBroadcastRoute(bool on) {
    QString why;
    const bool done = test::SetBroadcastRoute("zd0", on, &why);
    EXPECT_TRUE(done) << why.toStdString();
    return done;
  }

 private:
  static bool Fail(QString* why, const QByteArray& reason) {
    *why = QString::fromUtf8(reason);
    return false;
  }
  bool ReadReply(QByteArray* line) {
    while (!peer_.canReadLine()) {
      if (!peer_.waitForReadyRead(10000)) {
        *line = "no answer (" + peer_.errorString().toUtf8() + ")";
        return false;
      }
    }
    *line = peer_.readLine().trimmed();
    return true;
  }

  QProcess peer_;
};

class DockDiscovery : public test::PrivateNetworkTest<PeerNetwork> {
 protected:
  void SetUp() override {
    PrivateNetworkTest::SetUp();
    if (IsSkipped()) return;
    ClearPeer();
    enumerator_.OnListChanged = [this](QObject* sender) {
      EXPECT_EQ(sender, &enumerator_);
      arrivals_ << enumerator_.DockNames.last() + '@' + enumerator_.DockAddresses.last();
    };
  }

  // The peer's docks and watches gone, its count of answers back to 0.
  void ClearPeer() {
    Net().Command("clear");
    arrivedBefore_ = test::UdpDatagramsArrived();
  }
  bool WaitForDocks(int count) {
    return WaitUntil([&] { return enumerator_.DockNames.size() >= count; }, 5000);
  }
  // The peer has sent its answer to count enquiries in all, and this process
  // has taken every one of them: answers that must not count have had their
  // chance to.
  bool AnswersTaken(int count) {
    return test::Eventually([&] { return Net().Answered() >= count; }, 10000) &&
           test::Eventually([&] {
             return test::UdpDatagramsArrived() - arrivedBefore_ >= count && test::UdpQueuesEmpty();
           }, 10000) &&
           Net().Answered() == count;
  }

  ScriptedDialogs dialogs_;
  ScopedDialogs dialogsInstalled_{&dialogs_};
  TDockEnumerator enumerator_;
  QStringList arrivals_;  // name@address at each OnListChanged
  qint64 arrivedBefore_ = 0;
};

}  // namespace

TEST_F(DockDiscovery, TheEnquiryIsENQBroadcastFromAnEphemeralPort) {
  Net().Command("watch 6458");
  Net().Answer(TPDockType::tpKovaExpress, kDock2, "KovaExpress Dock 2");
  enumerator_.StartEnumeration();
  ASSERT_TRUE(WaitForDocks(1));
  const QList<QByteArray> seen = Net().Command("watched").split(' ');
  ASSERT_EQ(seen.size(), 1);
  const QList<QByteArray> portAndPayload = seen[0].split(':');
  ASSERT_EQ(portAndPayload.size(), 2);
  EXPECT_EQ(portAndPayload[1], "454e51");  // "ENQ", nothing more
  EXPECT_NE(portAndPayload[0].toInt(), 6458);
  EXPECT_NE(portAndPayload[0].toInt(), 6457);
  EXPECT_TRUE(dialogs_.Texts().isEmpty());
}

// What one search lists: the answers naming the kind searched for, in the
// order they came, each text up to a zero byte and at most one buffer long.
TEST_F(DockDiscovery, WhatASearchLists) {
  using enum TPDockType;
  const QByteArray exactlyTheBuffer = "KovaExpress " + QByteArray(1024 - 12, 'x');  // no zero byte
  const QByteArray longerThanTheBuffer = "KovaExpress " + QByteArray(3000, 'y');
  struct Answer {
    TPDockType kind;
    const char* address;
    QByteArray text;
  };
  const struct {
    const char* what;
    TPDockType searched;
    std::vector<Answer> answers;
    int asked;              // answers sent: the docks of the kind searched for
    QStringList listed;     // name@address, in any order
  } cases[] = {
      {"two docks", tpKovaExpress,
       {{tpKovaExpress, kDock2, "KovaExpress Dock 2"}, {tpKovaExpress, kDock3, "KovaExpress Dock 3"}}, 2,
       {"KovaExpress Dock 2@10.211.0.2", "KovaExpress Dock 3@10.211.0.3"}},
      {"the kind's ident in the text", tpKovaExpress,
       {{tpKovaExpress, kDock2, "KovaExpress Dock 12 (rev B)"},
        {tpKovaExpress, kDock3, "MP KovaExpress 4"},
        {tpKovaExpress, kDock3, "Kova6 Dock"},          // another kind's name
        {tpKovaExpress, kDock2, "kovaexpress dock"}},  // the case differs
       4, {"KovaExpress Dock 12 (rev B)@10.211.0.2", "MP KovaExpress 4@10.211.0.3"}},
      {"a multi-port search, on its own ports", tpMP_KovaExpress,
       {{tpKovaExpress, kDock2, "MP KovaExpress on the wrong ports"},
        {tpMP_KovaExpress, kDock2, "KovaExpress 9"},
        {tpMP_KovaExpress, kDock3, "MP KovaExpress 7"}},
       2, {"MP KovaExpress 7@10.211.0.3"}},
      {"a zero byte ends the text", tpKovaExpress,
       {{tpKovaExpress, kDock2, QByteArray("KovaExpress A\0KovaExpress B", 27)},
        {tpKovaExpress, kDock3, QByteArray("\0KovaExpress C", 14)}},  // an empty text
       2, {"KovaExpress A@10.211.0.2"}},
      {"answers of any length and content", tpKovaExpress,
       {{tpKovaExpress, kDock2, {}},  // an empty datagram
        {tpKovaExpress, kDock2, exactlyTheBuffer},
        {tpKovaExpress, kDock3, longerThanTheBuffer},
        {tpKovaExpress, kDock3, QByteArray(1024, '\xFF')},
        {tpKovaExpress, kDock3, QByteArray(1, '\0')},
        {tpKovaExpress, kDock2, QByteArray(5000, 'z') + "KovaExpress"}},  // beyond the buffer
       6, {exactlyTheBuffer + "@10.211.0.2", longerThanTheBuffer.left(1024) + "@10.211.0.3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClearPeer();
    arrivals_.clear();
    for (const Answer& answer : c.answers) Net().Answer(answer.kind, answer.address, answer.text);
    enumerator_.SetDockType(c.searched);
    enumerator_.StartEnumeration();
    EXPECT_TRUE(enumerator_.Listening());
    EXPECT_EQ(enumerator_.DockIdent(), DockKindOf(c.searched).dockIdent);
    ASSERT_TRUE(WaitForDocks(static_cast<int>(c.listed.size())));
    ASSERT_TRUE(AnswersTaken(c.asked));
    EXPECT_EQ(QSet<QString>(arrivals_.begin(), arrivals_.end()), QSet<QString>(c.listed.begin(), c.listed.end()));
    // OnListChanged once per dock; entry i of both lists is one dock.
    ASSERT_EQ(arrivals_.size(), c.listed.size());
    ASSERT_EQ(enumerator_.DockAddresses.size(), c.listed.size());
    for (qsizetype i = 0; i < arrivals_.size(); ++i)
      EXPECT_EQ(arrivals_[i], enumerator_.DockNames[i] + '@' + enumerator_.DockAddresses[i]);
  }
}

TEST_F(DockDiscovery, ListeningEndsAfterTenSeconds) {
  ManualClock clock;
  Net().Answer(TPDockType::tpKovaExpress, kDock2, "KovaExpress Dock 2");
  enumerator_.StartEnumeration();
  clock.Advance(9999);
  EXPECT_TRUE(enumerator_.Listening());
  ASSERT_TRUE(WaitForDocks(1));
  clock.Advance(1);
  EXPECT_FALSE(enumerator_.Listening());
  EXPECT_EQ(enumerator_.DockNames, QStringList{"KovaExpress Dock 2"});  // kept

  // An answer handled 11 s after the start is not listed.
  enumerator_.StartEnumeration();
  EXPECT_TRUE(enumerator_.DockNames.isEmpty());
  clock.Advance(11000);
  EXPECT_FALSE(enumerator_.Listening());
  ASSERT_TRUE(AnswersTaken(2));
  EXPECT_TRUE(enumerator_.DockNames.isEmpty());
  EXPECT_EQ(arrivals_.size(), 1);
}

TEST_F(DockDiscovery, ASecondSearchClearsBothListsAndListensAFullTimeAgain) {
  ManualClock clock;
  Net().Answer(TPDockType::tpKovaExpress, kDock2, "KovaExpress Dock 2");
  Net().Answer(TPDockType::tpKovaExpress, kDock3, "KovaExpress Dock 3");
  enumerator_.StartEnumeration();
  ASSERT_TRUE(WaitForDocks(2));
  clock.Advance(6000);
  enumerator_.StartEnumeration();  // while the first still listens
  EXPECT_TRUE(enumerator_.DockNames.isEmpty());
  EXPECT_TRUE(enumerator_.DockAddresses.isEmpty());
  ASSERT_TRUE(WaitForDocks(2));
  ASSERT_TRUE(AnswersTaken(4));
  EXPECT_EQ(arrivals_.size(), 4);
  EXPECT_EQ(enumerator_.DockNames.size(), 2);
  clock.Advance(9000);  // 15 s after the first start, 9 s after the second
  EXPECT_TRUE(enumerator_.Listening());
  clock.Advance(1000);
  EXPECT_FALSE(enumerator_.Listening());
}

TEST_F(DockDiscovery, TheListenPortAlreadyTaken) {
  ManualClock clock;
  Net().Answer(TPDockType::tpKovaExpress, kDock2, "KovaExpress Dock 2");
  enumerator_.StartEnumeration();
  ASSERT_TRUE(WaitForDocks(1));
  clock.Advance(10000);
  ASSERT_FALSE(enumerator_.Listening());

  QUdpSocket taker;  // another program on the answer port
  ASSERT_TRUE(taker.bind(QHostAddress::AnyIPv4, 6457, QUdpSocket::DontShareAddress));
  const int askedBefore = Net().Answered();
  try {
    enumerator_.StartEnumeration();
    FAIL() << "the search started on a port in use";
  } catch (const ESocketException& error) {
    EXPECT_TRUE(TDockEnumerator::ListenPortInUse(error));
    EXPECT_EQ(error.Code(), 10048);
  }
  EXPECT_FALSE(enumerator_.Listening());
  EXPECT_EQ(clock.ArmedCount(), 0);  // no listen timer left running
  EXPECT_EQ(enumerator_.DockNames, QStringList{"KovaExpress Dock 2"});  // kept
  EXPECT_EQ(enumerator_.DockAddresses, QStringList{kDock2});

  // Once the port is free again, a search runs as usual; it is the only one
  // answered since: the refused one sent no enquiry.
  taker.close();
  enumerator_.StartEnumeration();
  EXPECT_TRUE(enumerator_.DockNames.isEmpty());
  ASSERT_TRUE(WaitForDocks(1));
  EXPECT_TRUE(AnswersTaken(askedBefore + 1));
}

TEST_F(DockDiscovery, AnEnquiryThatCannotBeSent) {
  Net().Answer(TPDockType::tpKovaExpress, kDock2, "KovaExpress Dock 2");
  ASSERT_TRUE(Net().SetBroadcastRoute(false));  // no way to the broadcast address
  enumerator_.StartEnumeration();
  EXPECT_EQ(dialogs_.Texts(), QStringList{"Could not start dock auto detection, check your network!"});
  EXPECT_TRUE(enumerator_.Listening());  // the search goes on

  dialogs_.Clear();
  int failures = 0;
  enumerator_.OnEnumerationStartFailed = [&](QObject* sender) {
    EXPECT_EQ(sender, &enumerator_);
    ++failures;
  };
  enumerator_.StartEnumeration();
  EXPECT_EQ(failures, 1);
  EXPECT_TRUE(dialogs_.Texts().isEmpty());
  EXPECT_TRUE(enumerator_.Listening());
  ASSERT_TRUE(Net().SetBroadcastRoute(true));

  // Only the search with a route was answered.
  enumerator_.StartEnumeration();
  ASSERT_TRUE(WaitForDocks(1));
  EXPECT_EQ(failures, 1);
  EXPECT_TRUE(AnswersTaken(1));
}

// The same private network for TCP connects: no default route, so a connect
// to an address outside its one subnet fails on the spot and nothing is sent.
using TcpConnectInPrivateNetwork = DockDiscovery;

TEST_F(TcpConnectInPrivateNetwork, AConnectTheRoutesRefuseTellsWhy) {
  QString why;
  ASSERT_TRUE(test::Ip({{"route", "add", "unreachable", "10.212.0.0/16"}}, &why)) << why.toStdString();
  const struct {
    const char* address;
    int code;
    const char* text;
  } cases[] = {
      {"10.213.0.1", 10051, "Network is unreachable"},  // no route at all
      {"10.212.0.1", 10065, "No route to host"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    TWSocket s;
    s.SetAddr(c.address);
    s.SetPort("5000");
    int connected = -1, closed = -1;
    s.OnSessionConnected = [&](QObject*, quint16 e) { connected = e; };
    s.OnSessionClosed = [&](QObject*, quint16 e) { closed = e; };
    s.Connect();
    EXPECT_EQ(s.State(), TSocketState::wsConnecting);  // told from the message loop
    ASSERT_TRUE(WaitUntil([&] { return closed >= 0; }, 5000));
    EXPECT_EQ(connected, c.code);
    EXPECT_EQ(closed, c.code);
    EXPECT_EQ(s.LastError(), c.code);
    EXPECT_EQ(s.ErrorDescription(c.code), QString::fromLatin1(c.text));
    EXPECT_EQ(s.State(), TSocketState::wsClosed);
  }
}
