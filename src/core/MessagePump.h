#pragma once
// Waiting by processing messages.
//
// Several operations wait for a state change that arrives as an event on the
// main thread (a socket notification, a timer, a reply). ProcessMessages()
// handles what is pending and returns at once; it is used exactly where an
// operation processes pending messages a fixed number of times. Loops that wait
// for a condition use WaitForMessages(), which sleeps until at least one event
// has arrived, so a waiting program uses no CPU. Handlers can run nested inside
// either call.

#include <functional>

namespace zelvo {

// Handles every pending event and returns without waiting.
void ProcessMessages();

// Sleeps until at least one event has been handled, or until maxMs have
// passed (negative: no limit).
void WaitForMessages(int maxMs = -1);

// Processes events until pred() holds or timeoutMs have passed; returns the
// final value of pred(). For front ends and tests; components use the two
// calls above.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);

}  // namespace zelvo
