#pragma once
// Running the built zelvoflash against zelvo-sim on a pseudo-terminal or the
// built-in simulated instrument, as a technician does.

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <stdlib.h>
#include <unistd.h>

#include "support/Firmware.h"

namespace zelvo::test {

inline const QString kZelvoflash = QStringLiteral(ZELVOFLASH_EXE);
inline const QString kZelvoSim = QStringLiteral(ZELVO_SIM_EXE);

struct RunResult {
  int exitCode = -1;
  QString out;
  QString err;
  qint64 elapsedMs = 0;
  QString All() const { return out + err; }
  std::string Dump() const { return (out + "\n--- stderr ---\n" + err).toStdString(); }
  QJsonObject Json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
};

// A zelvoflash run started now and collected by Wait(), so that independent
// runs go on side by side.
class Zelvoflash {
 public:
  // stdinPath: a file (a pseudo-terminal) for standard input; empty: closed.
  explicit Zelvoflash(const QStringList& args, const QString& stdinPath = {}) {
    if (!stdinPath.isEmpty()) process_.setStandardInputFile(stdinPath);
    clock_.start();
    process_.start(kZelvoflash, args);
    if (stdinPath.isEmpty()) process_.closeWriteChannel();  // standard input is not a terminal
    args_ = args.join(' ');
  }
  RunResult Wait(int timeoutMs = 120000) {
    EXPECT_TRUE(process_.waitForFinished(timeoutMs)) << args_.toStdString();
    RunResult r{process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1,
                QString::fromLocal8Bit(process_.readAllStandardOutput()),
                QString::fromLocal8Bit(process_.readAllStandardError()), clock_.elapsed()};
    return r;
  }
  // Waits until standard output or standard error holds text (what was read
  // is kept for Wait()).
  bool WaitForOutput(const QString& text, int timeoutMs = 20000) {
    return WaitFor([&text](const QString& seen) { return seen.contains(text); }, timeoutMs);
  }
  // Waits until what standard error, then standard output, hold so far
  // satisfies done.
  bool WaitFor(const std::function<bool(const QString&)>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done(seen_)) {
      if (clock.elapsed() > timeoutMs || process_.state() == QProcess::NotRunning) return false;
      process_.waitForReadyRead(200);
      process_.setReadChannel(QProcess::StandardError);
      seen_ = QString::fromLocal8Bit(process_.peek(1 << 20));
      process_.setReadChannel(QProcess::StandardOutput);
      seen_ += QString::fromLocal8Bit(process_.peek(1 << 20));
    }
    return true;
  }
  // What WaitFor has seen so far.
  const QString& Seen() const { return seen_; }
  qint64 Pid() const { return process_.processId(); }

 private:
  QProcess process_;
  QElapsedTimer clock_;
  QString args_;
  QString seen_;
};

inline RunResult RunZelvoflash(const QStringList& args, int timeoutMs = 120000) {
  return Zelvoflash(args).Wait(timeoutMs);
}

// zelvo-sim serving an instrument on a pseudo-terminal for one test.
class SimServer {
 public:
  explicit SimServer(const QStringList& args) {
    process_.start(kZelvoSim, QStringList{"serve"} + args);
    EXPECT_TRUE(process_.waitForReadyRead(10000));
    path_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
  }
  // Stops the simulator and returns its report.
  QString Stop() {
    process_.terminate();
    process_.waitForFinished(10000);
    return QString::fromLocal8Bit(process_.readAllStandardError());
  }
  ~SimServer() {
    if (process_.state() != QProcess::NotRunning) Stop();
  }
  QString Path() const { return path_; }

 private:
  QProcess process_;
  QString path_;
};

// zelvo-sim serve-dock playing a network dock for one test, on the address
// given or else on a loopback address of its own (127.77.x.y).
class DockServer {
 public:
  explicit DockServer(const QStringList& args, const QString& fixedAddress = {}) {
    // An address another test (or another run) holds is tried again elsewhere.
    static int next = 0;
    for (int attempt = 0; attempt < (fixedAddress.isEmpty() ? 20 : 1) && address_.isEmpty(); ++attempt) {
      const int n = (static_cast<int>(::getpid()) * 37 + next++ * 11 + attempt) % 60000;
      const QString address =
          fixedAddress.isEmpty() ? QStringLiteral("127.77.%1.%2").arg(n / 250).arg(n % 250 + 1) : fixedAddress;
      process_.start(kZelvoSim, QStringList{"serve-dock", "--address", address} + args);
      if (process_.waitForReadyRead(10000) && process_.canReadLine()) {
        line_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
        address_ = address;
      } else {
        process_.waitForFinished(5000);
        failure_ = QString::fromLocal8Bit(process_.readAllStandardError());
      }
    }
    EXPECT_FALSE(address_.isEmpty()) << failure_.toStdString();
  }
  // Stops the dock and returns its report.
  QString Stop() {
    process_.terminate();
    process_.waitForFinished(10000);
    return QString::fromLocal8Bit(process_.readAllStandardError());
  }
  ~DockServer() {
    if (process_.state() != QProcess::NotRunning) Stop();
  }
  QString Address() const { return address_; }
  qint64 Pid() const { return process_.processId(); }
  // "ADDRESS CONTROL DATA" as zelvo-sim printed it once listening.
  QString Line() const { return line_; }

 private:
  QProcess process_;
  QString address_;
  QString line_;
  QString failure_;
};

// A pseudo-terminal whose slave serves as a program's standard input: the
// program sees a terminal; the test types into the master.
class TypingTerminal {
 public:
  TypingTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = QString::fromLocal8Bit(ptsname(master_));
    // Held open so that the master never reads end of file meanwhile.
    if (!slave_.isEmpty()) holdFd_ = ::open(ptsname(master_), O_RDWR | O_NOCTTY);
  }
  ~TypingTerminal() {
    if (holdFd_ >= 0) ::close(holdFd_);
    if (master_ >= 0) ::close(master_);
  }
  QString SlavePath() const { return slave_; }
  void Type(const QByteArray& text) { [[maybe_unused]] const ssize_t n = ::write(master_, text.constData(), text.size()); }
  // What the program wrote to the terminal so far.
  QByteArray ReadAll() {
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    QByteArray all;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(master_, buffer, sizeof buffer)) > 0) all.append(buffer, n);
    return all;
  }

 private:
  int master_ = -1;
  int holdFd_ = -1;
  QString slave_;
};

// A test with firmware files of its own, made on demand.
class ZelvoflashTest : public ::testing::Test {
 protected:
  QString Firmware(bool ng, const QByteArray& version, char type = 'A') { return files_.Make(ng, version, type); }
  FirmwareFiles files_;
};

inline int Count(const QString& haystack, const QString& needle) { return static_cast<int>(haystack.count(needle)); }

}  // namespace zelvo::test
