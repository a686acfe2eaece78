// zelvoflash discover against zelvo-sim serve-dock, by real UDP broadcast,
// inside a private network namespace this test makes for itself.
//
// The test process leaves its network namespace (unshare) before anything is
// started, and checks that it did; the programs it starts inherit it. Its only
// link is a veth pair whose two ends both lie in the namespace (10.211.0.1 on
// one end, the docks' 10.211.0.2 to 10.211.0.4 on the other), so nothing
// reaches any other network. Without root, or where namespaces or veth pairs
// cannot be made, every test here is skipped with the reason.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QNetworkDatagram>
#include <QSet>
#include <QUdpSocket>
#include <csignal>

#include "CliSupport.h"
#include "support/PrivateNetworkTest.h"
#include "support/ProcessSignals.h"
#include "support/ProcessUsage.h"

using namespace zelvo::test;

namespace {

const QString kDock2 = QStringLiteral("10.211.0.2");
const QString kDock3 = QStringLiteral("10.211.0.3");
const QString kDock4 = QStringLiteral("10.211.0.4");

// Both ends of the pair in this namespace: the host's and the docks'.
class VethNetwork {
 public:
  bool Make(QString* why) {
    if (!EnterPrivateNetwork(why)) return false;
    // From here on nothing this process or its children send can leave the namespace.
    return Ip({{"link", "add", "zd0", "type", "veth", "peer", "name", "zd1"},
               {"addr", "add", "10.211.0.1/24", "dev", "zd0"},
               {"addr", "add", kDock2 + "/24", "dev", "zd1"},
               {"addr", "add", kDock3 + "/24", "dev", "zd1"},
               {"addr", "add", kDock4 + "/24", "dev", "zd1"},
               {"link", "set", "zd0", "up"},
               {"link", "set", "zd1", "up"}},
              why) &&
           SetBroadcastRoute("zd0", true, why) && WaitUntilRunning("zd0", why) && WaitUntilRunning("zd1", why);
  }
};

using ZelvoflashDiscover = PrivateNetworkTest<VethNetwork>;

QStringList Lines(const QString& text) { return text.split('\n', Qt::SkipEmptyParts); }

// Dorrim docks played by the test at the address of dock 4: made before the
// search starts, so that its enquiry is not missed.
class PlayedDorrimDocks {
 public:
  PlayedDorrimDocks() {
    EXPECT_TRUE(answers_.bind(QHostAddress(kDock4), 6464, QUdpSocket::ShareAddress));
    EXPECT_TRUE(broadcasts_.bind(QHostAddress::Broadcast, 6464, QUdpSocket::ShareAddress));
  }
  // Waits for the search's enquiry; false when none came.
  bool EnquiryArrived() {
    if (!broadcasts_.waitForReadyRead(30000)) return false;
    enquirer_ = broadcasts_.receiveDatagram().senderAddress();
    return true;
  }
  // An answer to the enquirer; the bytes sent, or -1.
  qint64 Answer(const QByteArray& text) { return answers_.writeDatagram(text, enquirer_, 6463); }

 private:
  QUdpSocket answers_;
  QUdpSocket broadcasts_;
  QHostAddress enquirer_;
};

}  // namespace

// Three searches side by side (each kind listens on its own port): the Kova
// Express docks answer, "MP KovaExpress" included; a text of another kind is
// not listed; a kind nobody answers for ends with exit 0 and says so.
TEST_F(ZelvoflashDiscover, DocksAnswerInOrderOfArrival) {
  DockServer bay2({"--name", "KovaExpress Bay 2"}, kDock2);
  DockServer bay3({"--name", "MP KovaExpress Bay 3"}, kDock3);
  DockServer other({"--name", "Dorrim Bay 4"}, kDock4);  // not a Kova Express answer
  DockServer multiPort({"--kind", "mp-kova-express", "--name", "MP KovaExpress Rack"}, kDock3);
  ASSERT_EQ(bay2.Address(), kDock2);
  ASSERT_EQ(bay3.Address(), kDock3);
  ASSERT_EQ(other.Address(), kDock4);
  ASSERT_EQ(multiPort.Line(), kDock3 + " 5002 5003");

  Zelvoflash kovaExpress({"discover", "--json"});
  Zelvoflash mp({"discover", "--kind", "mp-kova-express"});
  Zelvoflash kova6({"discover", "--kind", "kova6", "--json"});

  RunResult r = kovaExpress.Wait(30000);
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  // The lines on standard error (standard output holds the JSON object),
  // in order of arrival, and the object's list in the same order.
  const QStringList lines = Lines(r.err);
  EXPECT_EQ(QSet<QString>(lines.begin(), lines.end()),
            (QSet<QString>{"KovaExpress Bay 2\t10.211.0.2", "MP KovaExpress Bay 3\t10.211.0.3"}))
      << r.Dump();
  QJsonObject j = r.Json();
  EXPECT_EQ(j.value("command").toString(), "discover");
  EXPECT_EQ(j.value("kind").toString(), "kova-express");
  EXPECT_EQ(j.value("exit").toInt(), 0);
  const QJsonArray docks = j.value("docks").toArray();
  EXPECT_EQ(docks.size(), 2) << r.Dump();
  for (int i = 0; i < docks.size(); ++i) {
    const QJsonObject dock = docks[i].toObject();
    EXPECT_EQ(lines.value(i), dock.value("name").toString() + '\t' + dock.value("address").toString());
  }

  r = mp.Wait(30000);
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  EXPECT_EQ(r.out, "MP KovaExpress Rack\t10.211.0.3\n") << r.Dump();

  r = kova6.Wait(30000);
  EXPECT_EQ(r.exitCode, 0) << r.Dump();
  EXPECT_TRUE(r.err.contains("zelvoflash: no Kova6 dock answered within 10 s")) << r.Dump();
  j = r.Json();
  EXPECT_EQ(j.value("exit").toInt(), 0);
  EXPECT_TRUE(j.value("docks").toArray().isEmpty());

  for (DockServer* dock : {&bay2, &bay3, &other, &multiPort}) {
    const QString report = dock->Stop();
    EXPECT_TRUE(report.contains("discovery enquiries answered: 1\n")) << report.toStdString();
  }
}

// A search that cannot start ends with exit 1 and the reason: the answer
// port held by another program, no route for the enquiry.
TEST_F(ZelvoflashDiscover, ASearchThatCannotStartExitsWithOne) {
  {
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::AnyIPv4, 6463, QUdpSocket::DontShareAddress));
    const RunResult r = RunZelvoflash({"discover", "--kind", "dorrim", "--json"});
    EXPECT_EQ(r.exitCode, 1) << r.Dump();
    const QString message = "cannot listen for dock answers: UDP port 6463 is in use by another program";
    EXPECT_TRUE(r.err.contains("zelvoflash: " + message)) << r.Dump();
    EXPECT_EQ(r.Json().value("exit").toInt(), 1);
    EXPECT_EQ(r.Json().value("message").toString(), message);
  }
  QString error;
  ASSERT_TRUE(SetBroadcastRoute("zd0", false, &error)) << error.toStdString();
  const RunResult r = RunZelvoflash({"discover"});
  EXPECT_TRUE(SetBroadcastRoute("zd0", true, &error)) << error.toStdString();
  EXPECT_EQ(r.exitCode, 1) << r.Dump();
  EXPECT_TRUE(r.err.contains("zelvoflash: Could not start dock auto detection, check your network! (the enquiry to "
                             "UDP port 6458 could not be sent)"))
      << r.Dump();
}

// Ctrl-C ends a search at once with 130.
TEST_F(ZelvoflashDiscover, CtrlCEndsTheSearch) {
  Zelvoflash run({"discover", "--kind", "kova6", "--json"});
  ASSERT_TRUE(SignalWhenCaught(run.Pid(), SIGINT));  // the search is under way
  const RunResult r = run.Wait(5000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_TRUE(r.err.contains("zelvoflash: interrupted")) << r.Dump();
  EXPECT_EQ(r.Json().value("exit").toInt(), 130);
}

// Answers that arrive one after another, each alone: every one is seen, a
// line for each new name; the object lists the dock once, by its latest name.
TEST_F(ZelvoflashDiscover, AnswersArrivingApartAreAllListed) {
  PlayedDorrimDocks docks;  // three, at one address
  Zelvoflash run({"discover", "--kind", "dorrim", "--json"});
  ASSERT_TRUE(docks.EnquiryArrived());
  // Each answer once the one before it has been listed.
  QString listed;
  for (int i = 1; i <= 3; ++i) {
    ASSERT_GT(docks.Answer(QByteArray("Dorrim ") + QByteArray::number(i)), 0);
    listed += QStringLiteral("Dorrim %1\t10.211.0.4\n").arg(i);
    ASSERT_TRUE(run.WaitForOutput(listed)) << i;
  }
  const RunResult r = run.Wait(30000);
  EXPECT_EQ(r.err, listed) << r.Dump();
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.Json().value("docks").toArray(),
            (QJsonArray{QJsonObject{{"name", "Dorrim 3"}, {"address", "10.211.0.4"}}}))
      << r.Dump();
}

// One host floods the answer port with long answers: zelvoflash lists it
// once and its memory stays bounded. Every answer is taken before the next
// few are sent, so that none is lost to a full queue.
TEST_F(ZelvoflashDiscover, AFloodOfAnswersFromOneHostCostsBoundedMemory) {
  if (!kUsageBoundsApply) GTEST_SKIP() << "memory bounds do not apply to a sanitized build";
  PlayedDorrimDocks flooder;
  Zelvoflash run({"discover", "--kind", "dorrim", "--json"});
  ASSERT_TRUE(flooder.EnquiryArrived());
  const QByteArray answer = "Dorrim flood " + QByteArray(1011, 'x');  // a full answer buffer
  constexpr int kAnswers = 30000, kBatch = 50;
  for (int sent = 0; sent < kAnswers; sent += kBatch) {
    for (int i = 0; i < kBatch; ++i) ASSERT_EQ(flooder.Answer(answer), answer.size());
    ASSERT_TRUE(Eventually([] { return UdpQueuesEmpty(); }, 10000)) << sent;
  }
  const ProcessUsage usage = UsageOf(run.Pid());
  ASSERT_TRUE(usage.read) << "the search ended before the flood was taken";
  EXPECT_LT(usage.peakKb, 64 * 1024);
  ASSERT_TRUE(SignalWhenCaught(run.Pid(), SIGINT));
  const RunResult r = run.Wait(30000);
  EXPECT_EQ(r.exitCode, 130) << r.Dump();
  EXPECT_EQ(r.Json().value("docks").toArray().size(), 1);
  EXPECT_EQ(r.err.count(QLatin1String("Dorrim flood")), 1);
}
