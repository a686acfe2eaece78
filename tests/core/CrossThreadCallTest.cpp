// CrossThreadCall with real worker threads. Every wait here waits for an
// event (a promise kept, a message posted), never for time.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "core/CrossThreadCall.h"
#include "core/Diagnostics.h"
#include "core/MessagePump.h"

using namespace zelvo;

namespace {

const QString kPrefix = QStringLiteral("test - EXCEPTION - ");

// A worker thread whose end the main thread can wait for while it handles
// messages: the worker posts a message once it is done.
class Worker {
 public:
  explicit Worker(std::function<void()> work)
      : thread_([this, work = std::move(work)] {
          work();
          done_ = true;
          QMetaObject::invokeMethod(&wake_, [] {}, Qt::QueuedConnection);
        }) {}
  ~Worker() { thread_.join(); }

  // Main thread: handles messages until the worker is done.
  void HandleMessagesUntilDone() {
    while (!done_) WaitForMessages();
  }

 private:
  QObject wake_;  // lives on the main thread
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(CrossThreadCall, RunsOnTheTargetThreadWhileTheCallerWaits) {
  QObject target;
  CrossThreadCall calls(&target, kPrefix);
  struct Caller {
    std::atomic<bool> ran{false};
    std::atomic<bool> onTarget{false};
    bool ranWhenRunReturned = false;
  };
  Caller callers[2];  // two workers at once: neither call is lost
  const auto work = [&calls](Caller& c) {
    return [&calls, &c] {
      calls.Run([&c] {
        c.onTarget = QThread::currentThread() == QCoreApplication::instance()->thread();
        c.ran = true;
      });
      c.ranWhenRunReturned = c.ran;
    };
  };
  {
    Worker first(work(callers[0]));
    Worker second(work(callers[1]));
    first.HandleMessagesUntilDone();
    second.HandleMessagesUntilDone();
  }
  for (const Caller& c : callers) {
    EXPECT_TRUE(c.onTarget);
    EXPECT_TRUE(c.ranWhenRunReturned);  // Run returned only once fn had run
  }
}

TEST(CrossThreadCall, OnTheTargetThreadRunsAtOnce) {
  QObject target;
  CrossThreadCall calls(&target, kPrefix);
  bool ran = false;
  calls.Run([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(CrossThreadCall, ReleaseLetsTheCallerGoOnWhileTheCallStillRuns) {
  QObject target;
  CrossThreadCall calls(&target, kPrefix);
  std::promise<void> callerWentOn;
  bool sawCallerGoOn = false;
  Worker worker([&] {
    calls.Run([&] {
      // A wait inside the call for something the caller does after Run:
      // without the release it would never end.
      calls.Release();
      callerWentOn.get_future().wait();
      sawCallerGoOn = true;
    });
    callerWentOn.set_value();
  });
  worker.HandleMessagesUntilDone();
  EXPECT_TRUE(sawCallerGoOn);
}

TEST(CrossThreadCall, RunPendingRunsAQueuedCallWithoutTheEventLoop) {
  QObject target;
  std::promise<void> queued;
  CrossThreadCall calls(&target, kPrefix, [&queued] { queued.set_value(); });
  EXPECT_FALSE(calls.HasPending());
  int runs = 0;
  {
    Worker worker([&] { calls.Run([&] { ++runs; }); });
    queued.get_future().wait();  // no message is handled meanwhile
    EXPECT_TRUE(calls.HasPending());
    calls.RunPending();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(calls.HasPending());
  }  // the worker has returned
  ProcessMessages();  // the queued invocation finds nothing left to run
  EXPECT_EQ(runs, 1);
}

TEST(CrossThreadCall, StoppedOrTargetGoneTheCallerReturnsAndNothingRuns) {
  struct Case {
    const char* how;
    bool destroyTarget;
  };
  for (const Case c : {Case{"Stop()", false}, Case{"target destroyed", true}}) {
    SCOPED_TRACE(c.how);
    auto target = std::make_unique<QObject>();
    std::promise<void> queued;
    CrossThreadCall calls(target.get(), kPrefix, [&queued] { queued.set_value(); });
    std::atomic<int> runs{0};
    {
      Worker waiting([&] { calls.Run([&] { ++runs; }); });
      queued.get_future().wait();  // the call waits for the main thread
      if (c.destroyTarget)
        target.reset();
      else
        calls.Stop();
    }  // and its caller has returned
    ProcessMessages();
    EXPECT_EQ(runs, 0);
    // Later calls from another thread return at once and run nothing.
    { Worker later([&] { calls.Run([&] { ++runs; }); }); }
    ProcessMessages();
    EXPECT_EQ(runs, 0);
  }
}

TEST(CrossThreadCall, AnExceptionIsWrittenAndGoesNoFurther) {
  QObject target;
  CrossThreadCall calls(&target, kPrefix);
  DiagnosticCapture diag;
  const auto fail = [] { throw std::runtime_error("handler failed"); };
  calls.Run(fail);  // on the target thread
  {
    Worker worker([&] { calls.Run(fail); });
    worker.HandleMessagesUntilDone();
  }
  EXPECT_EQ(diag.Lines(), (QStringList{kPrefix + "handler failed", kPrefix + "handler failed"}));
}

}  // namespace
