#pragma once
// Event callbacks.
//
// An event is a public std::function member named OnX, empty until assigned.
// A component raises it only when assigned and passes itself as Sender.
// Re-pointing a handler is a plain assignment, which may happen inside the very
// handler being run (the instrument component re-points the link's events from
// its reply handlers); Raise therefore calls a copy, so the running handler is
// never destroyed under its own feet.

#include <QByteArray>
#include <QObject>
#include <functional>
#include <utility>

namespace zelvo {

using TNotifyEvent = std::function<void(QObject* sender)>;
using TReceiveMsg = std::function<void(QObject* sender, const QByteArray& data)>;
using TLinkStatus = std::function<void(QObject* sender, bool status)>;
using TOnTimeOut = std::function<void(QObject* sender, quint16 error)>;
using TSentEE = std::function<void(QObject* sender, int error)>;
using TOnProgress = std::function<void(QObject* sender, int position, int total)>;

template <class Handler, class... Args>
void Raise(const Handler& handler, Args&&... args) {
  if (!handler) return;
  Handler copy = handler;
  copy(std::forward<Args>(args)...);
}

}  // namespace zelvo
