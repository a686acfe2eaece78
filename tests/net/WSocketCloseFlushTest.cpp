// TWSocket Close, Flush and CloseLater against a real loopback peer: what was
// handed to SendText reaches the peer, a flush waits by handling events and
// its time-out leaves the connection alone.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "net/LoopbackPair.h"

using namespace zelvo;

namespace {

using test::LoopbackPair;

TEST_F(LoopbackPair, DataSentBeforeCloseArrivesWhole) {
  // A short command, as the dock sends before closing, and a large block that
  // cannot have left before Close is called.
  const QByteArray big = Pattern(4 * 1024 * 1024);
  EXPECT_EQ(socket_.SendText("DSC"), 3);
  EXPECT_EQ(socket_.SendText(big), big.size());
  socket_.Close();
  EXPECT_EQ(closed_, 1);  // raised before Close returned
  EXPECT_EQ(socket_.State(), TSocketState::wsClosed);
  socket_.Close();  // nothing open: no second notification
  const QByteArray received = ReadUntilPeerDisconnects();
  ASSERT_EQ(received.size(), 3 + big.size());
  EXPECT_EQ(received.left(3), "DSC");
  EXPECT_TRUE(received.mid(3) == big);
  EXPECT_EQ(closed_, 1);
  EXPECT_EQ(errors_, 0);
}

TEST_F(LoopbackPair, CloseRightAfterAShortSendStillDeliversIt) {
  EXPECT_EQ(socket_.SendText(QByteArray("LCD0\0x", 6)), 6);
  socket_.Close();
  EXPECT_EQ(ReadUntilPeerDisconnects(), QByteArray("LCD0\0x", 6));
}

TEST_F(LoopbackPair, FlushToAPeerThatDoesNotReadTimesOutAndKeepsTheConnection) {
  PeerStopsReading();
  socket_.SetFlushTimeout(1);
  int arrivals = 0;
  socket_.OnDataAvailable = [&](QObject*, quint16) {
    ++arrivals;
    socket_.ReceiveText();
  };
  // Far more than the loopback buffers hold while the peer reads nothing.
  const QByteArray big(64 * 1024 * 1024, 'x');
  ASSERT_EQ(socket_.SendText(big), big.size());

  // Events go on during the flush: a timer and the peer's data.
  bool inFlush = false;
  int timerRanInFlush = 0;
  QTimer::singleShot(0, [&] {
    if (inFlush) ++timerRanInFlush;
  });
  peer_->write("EVT");
  QElapsedTimer elapsed;
  elapsed.start();
  inFlush = true;
  socket_.Flush();
  inFlush = false;
  const qint64 ms = elapsed.elapsed();

  // Its own time-out, on the wall clock: a slower machine only makes the
  // flush longer. The upper bound only catches a flush that never ends.
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 15000);
  EXPECT_EQ(timerRanInFlush, 1);
  EXPECT_GE(arrivals, 1);
  EXPECT_FALSE(socket_.AllSent());
  EXPECT_EQ(socket_.State(), TSocketState::wsConnected);
  EXPECT_EQ(closed_, 0);
  EXPECT_EQ(errors_, 0);
  EXPECT_EQ(socket_.LastError(), 0);

  // Closing now: the output left over cannot be delivered to a peer that
  // never reads, so the connection finishing in the background is given up
  // after the flush time-out and freed; the peer then sees the end.
  auto finishing = [] { return QCoreApplication::instance()->findChildren<QTcpSocket*>().size(); };
  const auto before = finishing();
  socket_.Close();
  EXPECT_EQ(closed_, 1);
  EXPECT_EQ(finishing(), before + 1);
  EXPECT_TRUE(WaitUntil([&] { return finishing() <= before; }, 15000));
  peer_->setReadBufferSize(0);
  EXPECT_LT(ReadUntilPeerDisconnects().size(), big.size());
  EXPECT_EQ(peer_->state(), QAbstractSocket::UnconnectedState);
}

TEST_F(LoopbackPair, FlushReturnsWhenThePeerHasTakenEverything) {
  socket_.SetFlushTimeout(60);
  const QByteArray big = Pattern(8 * 1024 * 1024);
  QByteArray received;
  QObject::connect(peer_, &QTcpSocket::readyRead, [&] { received += peer_->readAll(); });
  ASSERT_EQ(socket_.SendText(big), big.size());
  socket_.Flush();
  EXPECT_TRUE(socket_.AllSent());
  EXPECT_EQ(socket_.State(), TSocketState::wsConnected);
  ASSERT_TRUE(WaitUntil([&] { return received.size() >= big.size(); }, 10000));
  EXPECT_TRUE(received == big);
}

TEST_F(LoopbackPair, FlushEndsWhenTheConnectionIsClosedMeanwhile) {
  PeerStopsReading();
  socket_.SetFlushTimeout(30);
  ASSERT_GT(socket_.SendText(QByteArray(64 * 1024 * 1024, 'y')), 0);
  QTimer::singleShot(0, [&] { socket_.Close(); });  // a handler run inside the flush closes it
  QElapsedTimer elapsed;
  elapsed.start();
  socket_.Flush();
  EXPECT_LT(elapsed.elapsed(), 20000);  // ended by the close, not the 30 s time-out
  EXPECT_EQ(socket_.State(), TSocketState::wsClosed);
  EXPECT_EQ(closed_, 1);
}

TEST_F(LoopbackPair, CloseLaterClosesAfterThePendingEvents) {
  EXPECT_EQ(socket_.SendText("MST"), 3);
  socket_.CloseLater();
  EXPECT_EQ(socket_.State(), TSocketState::wsConnected);
  EXPECT_EQ(closed_, 0);
  ASSERT_TRUE(WaitUntil([&] { return closed_ > 0; }, 5000));
  EXPECT_EQ(socket_.State(), TSocketState::wsClosed);
  EXPECT_EQ(ReadUntilPeerDisconnects(), "MST");
  ProcessMessages();
  EXPECT_EQ(closed_, 1);
}

TEST_F(LoopbackPair, CloseLaterDoesNotCloseTheNextSession) {
  socket_.CloseLater();
  socket_.Close();  // closed at once after all
  EXPECT_EQ(closed_, 1);
  socket_.Connect();  // a new session before the queued close has run
  ASSERT_TRUE(WaitUntil([&] { return socket_.State() == TSocketState::wsConnected; }, 5000));
  ProcessMessages();
  EXPECT_EQ(socket_.State(), TSocketState::wsConnected);
  EXPECT_EQ(closed_, 1);
  socket_.CloseLater();  // nothing in between: this one closes
  ASSERT_TRUE(WaitUntil([&] { return closed_ == 2; }, 5000));
  socket_.CloseLater();  // nothing open: nothing to do
  ProcessMessages();
  EXPECT_EQ(closed_, 2);
}

TEST_F(LoopbackPair, CloseLaterDoesNotCloseTheNextSessionAfterABackgroundFinish) {
  ASSERT_GT(socket_.SendText(Pattern(4 * 1024 * 1024)), 0);
  socket_.CloseLater();
  socket_.Close();  // the output left goes on in the background
  socket_.Connect();
  ASSERT_TRUE(WaitUntil([&] { return socket_.State() == TSocketState::wsConnected; }, 5000));
  ProcessMessages();
  EXPECT_EQ(socket_.State(), TSocketState::wsConnected);
  EXPECT_EQ(closed_, 1);
}

}  // namespace
