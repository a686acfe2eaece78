// TDockEnumerator without a network: the dock kinds, the answer text, its
// state before any search. (Searches broadcast, so they are tried only in a
// private network namespace: DockDiscoveryNetnsTest.)
// The simulated dock's discovery side, on loopback.
#include <gtest/gtest.h>

#include <QNetworkDatagram>
#include <QUdpSocket>

#include "core/MessagePump.h"
#include "net/DockEnumerator.h"
#include "net/SocketErrors.h"
#include "sim/net/SimDockResponder.h"

using namespace zelvo;
using zelvo::sim::DiscoveryPorts;
using zelvo::sim::SimDockResponder;

TEST(DockEnumerator, KindsPortsAndIdents) {
  struct Row {
    TPDockType type;
    int ordinal;
    const char* listen;
    const char* enquiry;
    const char* ident;
  };
  const Row rows[] = {{TPDockType::tpKovaExpress, 0, "6457", "6458", "KovaExpress"},
                      {TPDockType::tpMP_KovaExpress, 1, "6459", "6460", "MP KovaExpress"},
                      {TPDockType::tpKova6, 2, "6461", "6462", "Kova6"},
                      {TPDockType::tpDorrim, 3, "6463", "6464", "Dorrim"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.ident);
    EXPECT_EQ(static_cast<int>(row.type), row.ordinal);
    const TPDockKind& kind = DockKindOf(row.type);
    EXPECT_STREQ(kind.listenPort, row.listen);
    EXPECT_STREQ(kind.enquiryPort, row.enquiry);
    EXPECT_STREQ(kind.dockIdent, row.ident);
    const DiscoveryPorts ports = sim::DiscoveryPortsOf(row.type);
    EXPECT_EQ(QString::number(ports.enquiry), row.enquiry);
    EXPECT_EQ(QString::number(ports.answer), row.listen);
  }
}

TEST(DockEnumerator, AnswerTextEndsAtTheFirstZeroWithinTheLength) {
  EXPECT_EQ(TDockEnumerator::AnswerText("KovaExpress 1", 13), "KovaExpress 1");
  EXPECT_EQ(TDockEnumerator::AnswerText("KovaExpress\0tail", 16), "KovaExpress");
  EXPECT_EQ(TDockEnumerator::AnswerText("\0KovaExpress", 12), "");
  EXPECT_EQ(TDockEnumerator::AnswerText("KovaExpress", 4), "Kova");  // no zero inside the length
  EXPECT_EQ(TDockEnumerator::AnswerText("KovaExpress", 0), "");
  EXPECT_EQ(TDockEnumerator::AnswerText("KovaExpress", -1), "");
  EXPECT_EQ(TDockEnumerator::AnswerText(nullptr, 10), "");
  const QByteArray full(TDockEnumerator::kAnswerBufferSize, 'k');  // a full buffer, no zero
  EXPECT_EQ(TDockEnumerator::AnswerText(full.constData(), full.size()), full);
}

TEST(DockEnumerator, BeforeAnySearch) {
  TDockEnumerator enumerator;
  EXPECT_EQ(enumerator.DockType(), TPDockType::tpKovaExpress);
  EXPECT_FALSE(enumerator.Listening());
  EXPECT_TRUE(enumerator.DockNames.isEmpty());
  EXPECT_TRUE(enumerator.DockAddresses.isEmpty());
  EXPECT_FALSE(enumerator.OnListChanged);
  EXPECT_FALSE(enumerator.OnEnumerationStartFailed);
  enumerator.SetDockType(TPDockType::tpKova6);  // a field: nothing happens
  EXPECT_EQ(enumerator.DockType(), TPDockType::tpKova6);
  EXPECT_FALSE(enumerator.Listening());
  EXPECT_EQ(enumerator.DockIdent(), "KovaExpress");
  EXPECT_EQ(enumerator.EnquiryAddress(), "255.255.255.255");
  EXPECT_TRUE(TDockEnumerator::ListenPortInUse(ESocketException("Listen (bind)", 10048, "Address already in use")));
  EXPECT_FALSE(TDockEnumerator::ListenPortInUse(ESocketException("Listen (bind)", 10013, "Permission denied")));
}

// The handler past the receive, on answers of any length and content.
TEST(DockEnumerator, TakeAnswerListsOnlyTextsNamingTheKind) {
  TDockEnumerator enumerator;
  int changed = 0;
  enumerator.OnListChanged = [&](QObject* sender) {
    EXPECT_EQ(sender, &enumerator);
    ++changed;
  };
  auto take = [&](const QByteArray& datagram, const char* from) {
    enumerator.TakeAnswer(datagram.constData(), static_cast<int>(datagram.size()), from);
  };
  take("KovaExpress Dock 12", "10.1.1.12");
  take("MP KovaExpress 3", "10.1.1.3");
  take(QByteArray("Kova\0Express", 12), "10.1.1.4");  // the zero byte ends it before the name
  take({}, "10.1.1.5");
  take(QByteArray(1024, '\xFF'), "10.1.1.6");
  take("KovaExpress " + QByteArray(1012, 'x'), "10.1.1.7");  // a full buffer, no zero byte
  enumerator.TakeAnswer(nullptr, 0, "10.1.1.8");
  EXPECT_EQ(enumerator.DockNames, (QStringList{"KovaExpress Dock 12", "MP KovaExpress 3",
                                               "KovaExpress " + QString(1012, 'x')}));
  EXPECT_EQ(enumerator.DockAddresses, (QStringList{"10.1.1.12", "10.1.1.3", "10.1.1.7"}));
  EXPECT_EQ(changed, 3);
  // A count larger than the buffer is held to it.
  const QByteArray longer = "KovaExpress " + QByteArray(2000, 'y');
  enumerator.TakeAnswer(longer.constData(), 5000, "10.1.1.9");
  EXPECT_EQ(enumerator.DockNames.last().size(), 1024);
}

// Any host may answer, as often as it likes: each address is listed once,
// with its latest name, and no more than kMaxDocks of them.
TEST(DockEnumerator, ListsEachAddressOnceWithItsLatestNameUpToTheLimit) {
  TDockEnumerator enumerator;
  int changed = 0;
  enumerator.OnListChanged = [&](QObject*) { ++changed; };
  auto take = [&](const QByteArray& text, const QString& from) {
    enumerator.TakeAnswer(text.constData(), static_cast<int>(text.size()), from);
  };
  for (int i = 0; i < 1000; ++i) take("KovaExpress A", "10.1.1.1");
  take("KovaExpress B", "10.1.1.1");
  EXPECT_EQ(enumerator.DockNames, QStringList{"KovaExpress B"});
  EXPECT_EQ(changed, 2);
  for (int i = 0; i < 300; ++i) take("KovaExpress", QStringLiteral("10.2.%1.%2").arg(i / 200).arg(i % 200));
  ASSERT_EQ(enumerator.DockAddresses.size(), TDockEnumerator::kMaxDocks);
  EXPECT_EQ(enumerator.DockNames.size(), TDockEnumerator::kMaxDocks);
  EXPECT_EQ(enumerator.DockAddresses.last(), "10.2.1.54");
  EXPECT_EQ(enumerator.ChangedEntry(), TDockEnumerator::kMaxDocks - 1);
  EXPECT_TRUE(enumerator.ListFull());
  take("KovaExpress C", "10.1.1.1");  // a dock listed still takes its new name
  EXPECT_EQ(enumerator.DockNames.first(), "KovaExpress C");
  EXPECT_EQ(enumerator.ChangedEntry(), 0);
}

// A whole search on loopback: the enquiry pointed at a simulated dock on
// 127.0.0.1 instead of the broadcast address (nothing leaves the machine).
TEST(DockEnumerator, SearchOnLoopbackFindsASimulatedDock) {
  SimDockResponder dock(TPDockType::tpKova6, "Kova6 Dock 1", QHostAddress::LocalHost);
  if (!dock.Start()) GTEST_SKIP() << "the Kova6 enquiry port is taken: " << dock.ErrorText().toStdString();
  TDockEnumerator enumerator;
  enumerator.SetDockType(TPDockType::tpKova6);
  enumerator.SetEnquiryAddress("127.0.0.1");
  int changed = 0;
  enumerator.OnListChanged = [&](QObject*) { ++changed; };
  try {
    enumerator.StartEnumeration();
  } catch (const ESocketException& error) {
    if (TDockEnumerator::ListenPortInUse(error)) GTEST_SKIP() << "the Kova6 answer port 6461 is taken";
    throw;
  }
  EXPECT_TRUE(enumerator.Listening());
  ASSERT_TRUE(WaitUntil([&] { return changed == 1; }, 5000));
  EXPECT_EQ(enumerator.DockNames, QStringList{"Kova6 Dock 1"});
  EXPECT_EQ(enumerator.DockAddresses, QStringList{"127.0.0.1"});
  EXPECT_EQ(dock.EnquiriesAnswered(), 1);
}

// A UDP listener refuses a port another socket holds instead of sharing it.
TEST(TWSocketListen, APortInUseIsRefusedWith10048) {
  QUdpSocket holder;  // Qt's default binding, as another program makes it
  ASSERT_TRUE(holder.bind(QHostAddress::LocalHost, 0));
  TWSocket listener;
  listener.SetProto("udp");
  listener.SetAddr("127.0.0.1");
  listener.SetPort(QString::number(holder.localPort()));
  try {
    listener.Listen();
    FAIL() << "bound a port in use";
  } catch (const ESocketException& error) {
    EXPECT_EQ(error.Code(), 10048);
  }
  EXPECT_EQ(listener.LastError(), 10048);
  EXPECT_EQ(listener.State(), TSocketState::wsClosed);
}

namespace {

quint16 FreeUdpPort() {
  QUdpSocket probe;
  probe.bind(QHostAddress::LocalHost, 0, QUdpSocket::DontShareAddress);
  return probe.localPort();
}

}  // namespace

TEST(SimDockResponder, AnswersENQWithItsTextOnTheAnswerPort) {
  const DiscoveryPorts ports{FreeUdpPort(), FreeUdpPort()};
  ASSERT_NE(ports.enquiry, ports.answer);
  SimDockResponder dock(ports, QByteArray("KovaExpress Dock 12\0x", 21), QHostAddress::LocalHost);
  ASSERT_TRUE(dock.Start()) << dock.ErrorText().toStdString();
  QUdpSocket enquirer;  // sends from an ephemeral port, listens on the answer port
  QUdpSocket answers;
  ASSERT_TRUE(answers.bind(QHostAddress::LocalHost, ports.answer));
  enquirer.writeDatagram("ENQX", QHostAddress::LocalHost, ports.enquiry);  // not an enquiry
  enquirer.writeDatagram("ENQ", QHostAddress::LocalHost, ports.enquiry);
  ASSERT_TRUE(WaitUntil([&] { return answers.hasPendingDatagrams(); }, 5000));
  const QNetworkDatagram answer = answers.receiveDatagram();
  EXPECT_EQ(answer.data(), QByteArray("KovaExpress Dock 12\0x", 21));
  EXPECT_EQ(answer.senderAddress(), QHostAddress(QHostAddress::LocalHost));
  EXPECT_EQ(answer.senderPort(), ports.enquiry);
  EXPECT_EQ(dock.EnquiriesAnswered(), 1);  // "ENQX", taken before "ENQ", was not answered
  EXPECT_FALSE(answers.hasPendingDatagrams());
}

TEST(SimDockResponder, StartSaysWhyItCannotListen) {
  QUdpSocket holder;
  ASSERT_TRUE(holder.bind(QHostAddress::LocalHost, 0, QUdpSocket::DontShareAddress));
  SimDockResponder dock(DiscoveryPorts{holder.localPort(), 1}, "KovaExpress", QHostAddress::LocalHost);
  EXPECT_FALSE(dock.Start());
  EXPECT_TRUE(dock.ErrorText().contains(QString::number(holder.localPort()))) << dock.ErrorText().toStdString();
  // Two docks may share one port.
  const quint16 port = FreeUdpPort();
  SimDockResponder first(DiscoveryPorts{port, 1}, "A", QHostAddress::LocalHost);
  SimDockResponder second(DiscoveryPorts{port, 1}, "B", QHostAddress::LocalHost);
  EXPECT_TRUE(first.Start());
  EXPECT_TRUE(second.Start()) << second.ErrorText().toStdString();
}
