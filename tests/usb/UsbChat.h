#pragma once
// A scripted exchange with the host: each step is the transfer the host is
// to write next, on its pipe, and the device's canned reply. The host's writes
// on a step's pipe are gathered until they are as long as the expected bytes
// (the receive thread cuts a long message into pieces), then compared; what
// differs is kept as a hexadecimal diff of expected and actual bytes.
// Thread-safe: the device side runs on the host's receive thread.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QStringList>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "sim/usb/SimUsbBackend.h"
#include "usb/USBPipe.h"

namespace zelvo::testing {

// The bytes of both around the first that differs, one above the other.
inline QString HexDiff(const QByteArray& expected, const QByteArray& actual) {
  qsizetype at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  const qsizetype from = qMax<qsizetype>(0, at - 8);
  const auto window = [from](const QByteArray& bytes) {
    return (from > 0 ? QStringLiteral("... ") : QString()) + QString::fromLatin1(bytes.mid(from, 24).toHex(' ').toUpper()) +
           (bytes.size() > from + 24 ? QStringLiteral(" ...") : QString());
  };
  return QStringLiteral("%1 bytes expected, %2 written, the first differing at %3:\n  expected %4\n  actual   %5\n  %6^^")
      .arg(expected.size())
      .arg(actual.size())
      .arg(at)
      .arg(window(expected), window(actual), QString(9 + (from > 0 ? 4 : 0) + 3 * (at - from), QLatin1Char(' ')));
}

// EXPECT_TRUE(SameBytes(expected, actual)): the diff when they differ.
inline ::testing::AssertionResult SameBytes(const QByteArray& expected, const QByteArray& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << HexDiff(expected, actual).toStdString();
}

// The host's side: every byte the device hands over on pipe, into bytes.
inline void ReceiveInto(TUSBDevice& device, int pipe, QByteArray& bytes) {
  device.OnPipeData = [&device, pipe, &bytes](QObject*, int n, int) {
    if (n == pipe) bytes += device.Pipes(pipe)->ReadData();
  };
}

class UsbChat {
 public:
  struct Reply {
    int pipe;
    QByteArray bytes;
  };

  // The host writes bytes on pipe; the device answers with reply on replyPipe
  // (nothing when reply is empty).
  UsbChat& Expect(int pipe, const QByteArray& bytes, int replyPipe = -1, const QByteArray& reply = {}) {
    std::lock_guard lock(mutex_);
    steps_.push_back({pipe, bytes, {replyPipe, reply}});
    return *this;
  }

  // One write of the host; the device's reply to it, if any.
  std::optional<Reply> HostWrote(int pipe, const QByteArray& bytes) {
    std::lock_guard lock(mutex_);
    if (steps_.empty() || steps_.front().pipe != pipe) {
      problems_ << QStringLiteral("pipe %1: a write no step expects: %2").arg(pipe).arg(QString::fromLatin1(bytes.toHex(' ')));
      return std::nullopt;
    }
    gathered_ += bytes;
    const Step& step = steps_.front();
    if (gathered_.size() < step.bytes.size()) return std::nullopt;
    if (gathered_ != step.bytes) problems_ << QStringLiteral("pipe %1: ").arg(pipe) + HexDiff(step.bytes, gathered_);
    const Reply reply = step.reply;
    gathered_.clear();
    steps_.pop_front();
    if (reply.bytes.isEmpty()) return std::nullopt;
    return reply;
  }

  // The far side of a simulated device: its host writes go through the chat,
  // each reply is queued as one packet.
  void Serve(sim::SimUsbDevice& device) {
    device.OnHostWrite = [this, &device](int pipe, const QByteArray& bytes) {
      if (const std::optional<Reply> reply = HostWrote(pipe, bytes)) device.QueuePacket(reply->pipe, reply->bytes);
    };
  }

  // Every step taken, and every write as expected.
  ::testing::AssertionResult Matched() const {
    std::lock_guard lock(mutex_);
    QStringList problems = problems_;
    for (const Step& step : steps_)
      problems << QStringLiteral("pipe %1: never written: %2").arg(step.pipe).arg(QString::fromLatin1(step.bytes.toHex(' ')));
    if (problems.isEmpty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << problems.join(QLatin1Char('\n')).toStdString();
  }

 private:
  struct Step {
    int pipe;
    QByteArray bytes;
    Reply reply;
  };

  mutable std::mutex mutex_;
  std::deque<Step> steps_;
  QByteArray gathered_;  // of the front step, so far
  QStringList problems_;
};

}  // namespace zelvo::testing
