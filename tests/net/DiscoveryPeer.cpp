// The far side of the discovery tests: a process in a private network
// namespace of its own, joined to the test's namespace by a veth pair, that
// plays the docks answering enquiries.
//
//   zelvo_discovery_peer DEVICE ADDRESS/PREFIX...
//
// It leaves the namespace it was started in and says "unshared"; the test then
// moves its end of the veth pair in and writes "linked"; the peer brings its
// end up with the addresses and says "ready" once it carries traffic (or
// "error TEXT" at any step).
// Then one command per line, each answered "ok ..." or "error TEXT":
//   answer KIND ADDRESS HEX   a dock of kind KIND (ordinal) on ADDRESS that
//                             answers "ENQ" with the bytes HEX ("-": none)
//   watch PORT                records every datagram to 255.255.255.255:PORT
//   watched                   "ok SENDERPORT:HEX ..." of the recorded ones
//   count                     "ok N": enquiries answered so far
//   clear                     stops every dock and watch
//   quit (or end of input)
#include <unistd.h>

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QUdpSocket>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "sim/net/SimDockResponder.h"
#include "support/PrivateNetwork.h"

namespace {

void Say(const QByteArray& line) {
  std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Input read straight from the descriptor, so that the notifier sees every
// line that has not been taken yet.
QByteArray g_input;
bool g_inputEnded = false;

// Reads what is there (waiting for some when wait is set).
void FillInput(bool wait) {
  char chunk[4096];
  do {
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      g_inputEnded = true;
      return;
    }
    g_input.append(chunk, n);
  } while (wait && !g_input.contains('\n'));
}

// The next whole line, if there is one.
bool TakeLine(QByteArray* line) {
  const qsizetype end = g_input.indexOf('\n');
  if (end < 0) return false;
  *line = g_input.left(end);
  g_input.remove(0, end + 1);
  return true;
}

struct Watch {
  std::unique_ptr<QUdpSocket> socket;
  QList<QByteArray> seen;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments().mid(1);
  if (args.size() < 2) {
    Say("error usage: zelvo_discovery_peer DEVICE ADDRESS/PREFIX...");
    return 2;
  }
  QString error;
  if (!zelvo::test::EnterPrivateNetwork(&error)) {
    Say("error " + error.toUtf8());
    return 3;
  }
  Say("unshared");
  FillInput(true);
  QByteArray line;
  if (!TakeLine(&line) || line != "linked") return 4;
  bool ok = true;
  for (qsizetype i = 1; ok && i < args.size(); ++i) ok = zelvo::test::Ip({{"addr", "add", args[i], "dev", args[0]}}, &error);
  ok = ok && zelvo::test::Ip({{"link", "set", args[0], "up"}}, &error) && zelvo::test::WaitUntilRunning(args[0], &error);
  if (!ok) {
    Say("error " + error.toUtf8());
    return 5;
  }
  Say("ready");

  std::vector<std::unique_ptr<zelvo::sim::SimDockResponder>> docks;
  std::vector<std::unique_ptr<Watch>> watches;
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  auto command = [&](const QByteArray& line) {
    const QList<QByteArray> word = line.split(' ');
    if (word[0] == "quit") {
      input.setEnabled(false);
      app.quit();
    } else if (word[0] == "answer" && word.size() == 4) {
      const auto kind = static_cast<zelvo::TPDockType>(word[1].toInt());
      const QByteArray text = word[3] == "-" ? QByteArray() : QByteArray::fromHex(word[3]);
      auto dock = std::make_unique<zelvo::sim::SimDockResponder>(kind, text, QHostAddress(QString::fromLatin1(word[2])));
      if (dock->Start()) {
        docks.push_back(std::move(dock));
        Say("ok");
      } else {
        Say("error " + dock->ErrorText().toUtf8());
      }
    } else if (word[0] == "watch" && word.size() == 2) {
      auto watch = std::make_unique<Watch>();
      watch->socket = std::make_unique<QUdpSocket>();
      if (!watch->socket->bind(QHostAddress::Broadcast, static_cast<quint16>(word[1].toUShort()),
                               QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        Say("error watch: " + watch->socket->errorString().toUtf8());
        return;
      }
      Watch* raw = watch.get();
      QObject::connect(raw->socket.get(), &QUdpSocket::readyRead, &app, [raw] {
        while (raw->socket->hasPendingDatagrams()) {
          const QNetworkDatagram d = raw->socket->receiveDatagram();
          raw->seen << QByteArray::number(d.senderPort()) + ':' + d.data().toHex();
        }
      });
      watches.push_back(std::move(watch));
      Say("ok");
    } else if (word[0] == "watched") {
      QList<QByteArray> all;
      for (const auto& w : watches) all += w->seen;
      Say("ok " + all.join(' '));
    } else if (word[0] == "count") {
      int answered = 0;
      for (const auto& d : docks) answered += d->EnquiriesAnswered();
      Say("ok " + QByteArray::number(answered));
    } else if (word[0] == "clear") {
      docks.clear();
      watches.clear();
      Say("ok");
    } else {
      Say("error unknown command: " + line);
    }
  };
  QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
    FillInput(false);
    QByteArray next;
    while (TakeLine(&next)) command(next);
    if (g_inputEnded) {
      input.setEnabled(false);
      app.quit();
    }
  });
  return app.exec();
}
