#include "core/CrossThreadCall.h"

#include <QObject>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "core/Diagnostics.h"

namespace zelvo {

struct CrossThreadCall::Call {
  std::function<void()> fn;
  bool done = false;      // fn has returned
  bool released = false;  // its caller may go on while fn still runs
};

struct CrossThreadCall::State {
  State(QString prefix, std::function<void()> queuedHook)
      : exceptionPrefix(std::move(prefix)), queued(std::move(queuedHook)) {}

  const QString exceptionPrefix;
  const std::function<void()> queued;

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::shared_ptr<Call>> pending;  // queued, not started
  bool stopped = false;
  // Target thread only: the calls being run, innermost last.
  std::vector<std::shared_ptr<Call>> running;

  void Execute(const std::function<void()>& fn) const {
    try {
      fn();
    } catch (...) {
      Diagnostic(exceptionPrefix + ExceptionText(std::current_exception()));
    }
  }

  // Target thread: runs the oldest queued call; false when there was none.
  bool RunNext() {
    std::shared_ptr<Call> call;
    {
      std::lock_guard lock(mutex);
      if (stopped || pending.empty()) return false;
      call = std::move(pending.front());
      pending.pop_front();
    }
    running.push_back(call);
    Execute(call->fn);
    running.pop_back();
    {
      std::lock_guard lock(mutex);
      call->done = true;
    }
    changed.notify_all();
    return true;
  }

  void Stop() {
    {
      std::lock_guard lock(mutex);
      stopped = true;
      pending.clear();
    }
    changed.notify_all();
  }
};

CrossThreadCall::CrossThreadCall(QObject* target, QString exceptionPrefix, std::function<void()> queued)
    : target_(target),
      target_thread_(target->thread()),
      state_(std::make_shared<State>(std::move(exceptionPrefix), std::move(queued))) {
  // Emitted on the target's thread while it is destroyed, before its queued
  // invocations are dropped with it.
  target_gone_ = QObject::connect(target, &QObject::destroyed, [state = state_] { state->Stop(); });
}

CrossThreadCall::~CrossThreadCall() {
  QObject::disconnect(target_gone_);
  Stop();
}

void CrossThreadCall::Run(std::function<void()> fn) {
  const std::shared_ptr<State> state = state_;
  if (QThread::currentThread() == target_thread_) {
    state->Execute(fn);
    return;
  }
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  {
    // Queued under the lock: the target cannot finish its destruction (which
    // stops the calls first) in between.
    std::lock_guard lock(state->mutex);
    if (state->stopped) return;
    state->pending.push_back(call);
    QMetaObject::invokeMethod(target_, [state] { state->RunNext(); }, Qt::QueuedConnection);
  }
  if (state->queued) state->queued();
  std::unique_lock lock(state->mutex);
  state->changed.wait(lock, [&] { return call->done || call->released || state->stopped; });
}

void CrossThreadCall::Release() {
  if (state_->running.empty()) return;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& call : state_->running) call->released = true;
  }
  state_->changed.notify_all();
}

bool CrossThreadCall::HasPending() const {
  std::lock_guard lock(state_->mutex);
  return !state_->stopped && !state_->pending.empty();
}

void CrossThreadCall::RunPending() {
  while (state_->RunNext()) {
  }
}

void CrossThreadCall::Stop() { state_->Stop(); }

}  // namespace zelvo
