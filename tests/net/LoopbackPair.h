#pragma once
// A TWSocket connected over loopback TCP, and the server side of its
// connection, for one test.

#include <gtest/gtest.h>

#include <QTcpServer>
#include <QTcpSocket>

#include "core/MessagePump.h"
#include "net/WSocket.h"

namespace zelvo::test {

class LoopbackPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.listen(QHostAddress::LocalHost));
    socket_.SetAddr("127.0.0.1");
    socket_.SetPort(QString::number(server_.serverPort()));
    socket_.OnSessionConnected = [this](QObject* sender, quint16 error) {
      EXPECT_EQ(sender, &socket_);
      connected_ = error;
    };
    socket_.OnSessionClosed = [this](QObject*, quint16) { ++closed_; };
    socket_.OnError = [this](QObject*) { ++errors_; };
    socket_.Connect();
    EXPECT_EQ(socket_.State(), TSocketState::wsConnecting);  // told from the message loop
    ASSERT_TRUE(WaitUntil([&] { return connected_ == 0 && server_.hasPendingConnections(); }, 5000));
    EXPECT_EQ(socket_.State(), TSocketState::wsConnected);
    peer_ = server_.nextPendingConnection();
    ASSERT_NE(peer_, nullptr);
  }

  // Everything the peer receives until the connection ends.
  QByteArray ReadUntilPeerDisconnects(int timeoutMs = 20000) {
    QByteArray all;
    WaitUntil(
        [&] {
          all += peer_->readAll();
          return peer_->state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    all += peer_->readAll();
    return all;
  }

  // The peer's Qt socket would otherwise take in everything on its own.
  void PeerStopsReading() { peer_->setReadBufferSize(4096); }

  static QByteArray Pattern(int size) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return data;
  }

  QTcpServer server_;
  TWSocket socket_;
  QTcpSocket* peer_ = nullptr;
  int connected_ = -1;  // the code OnSessionConnected told
  int closed_ = 0;
  int errors_ = 0;
};

}  // namespace zelvo::test
