#pragma once
// Running work on a component's thread for a worker thread, and waiting for it.
//
// A worker thread never touches a component's state itself: it hands the work
// to the thread the component (the target object) lives on, normally the main
// thread, and waits until it has run. One CrossThreadCall serves one target;
// any number of worker threads may use it, their calls run one at a time in
// the order they were made.
//
//   Run(fn)       Any thread; blocks. Called on the target's thread, fn runs at
//                 once. From another thread, fn is queued and run by the
//                 target thread's event loop (or by RunPending), and the caller
//                 waits until fn has returned, the call was released
//                 (Release), or the calls were stopped (Stop); a call that was
//                 stopped before it started never runs. An exception leaving fn
//                 goes no further: it is written as a diagnostic line.
//   Release()     Target thread, from a wait nested inside a running fn (one
//                 that handles messages until the worker has done something):
//                 the callers of every fn now running go on without waiting for
//                 its end. Repeat calls are safe.
//   HasPending(), RunPending()
//                 Target thread, for a wait that does not return to the event
//                 loop: whether a call is queued, and run every queued call now.
//   Stop()        Any thread, also from a destructor; repeat calls are safe.
//                 Waiting callers return at once, queued calls never run, and
//                 a later Run from another thread returns at once without
//                 running fn.
//
// When the target object is destroyed, its calls stop as by Stop(). When the
// target thread no longer handles events (its loop has ended, the application
// is shutting down), a call waits until Stop() or the target's destruction:
// an owner stops its calls before it joins the worker thread that makes them.

#include <QMetaObject>
#include <QString>
#include <functional>
#include <memory>

class QObject;
class QThread;

namespace zelvo {

class CrossThreadCall {
 public:
  // target must live on its thread for the object's whole life.
  // exceptionPrefix goes ahead of an exception's message in the diagnostic
  // line. queued, if given, is called on the caller's thread after each call
  // was queued, so that a target-thread wait using RunPending can wake.
  CrossThreadCall(QObject* target, QString exceptionPrefix, std::function<void()> queued = {});
  ~CrossThreadCall();  // Stop()
  CrossThreadCall(const CrossThreadCall&) = delete;
  CrossThreadCall& operator=(const CrossThreadCall&) = delete;

  void Run(std::function<void()> fn);
  void Release();
  bool HasPending() const;
  void RunPending();
  void Stop();

 private:
  struct Call;
  struct State;

  QObject* const target_;
  QThread* const target_thread_;
  const std::shared_ptr<State> state_;  // shared with the queued invocations
  QMetaObject::Connection target_gone_;
};

}  // namespace zelvo
