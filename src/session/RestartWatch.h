#pragma once
// The restart check after a completed upload: the instrument is waited for
// while it restarts, identified as before the upload and released ("STB"),
// so that what it runs can be compared with the file. Driven by events and
// the window timers, without a wait of its own: the window runs it inside
// its workflow, the command line inside an event loop.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "core/Events.h"
#include "core/Timer.h"

namespace zelvo {

class TKelLink;
class TZelvoPro;

// How the instrument is reached again. Over an IrDA socket the operator
// puts it in IrDA mode again; through a dock it is reported present again;
// on a port it answers on the same line.
enum class RestartPath { Port, IrdaSocket, Dock };

struct RestartCheckReport {
  enum class End { CameBack, NotBack, Cancelled, Interrupted };
  End end = End::NotBack;
  // What the instrument reported, once it came back.
  std::optional<QByteArray> version, typeLetter;
  double waitedS = 0;  // from the end of the upload to the answer or the limit
  int signal = 0;      // End::Interrupted
};

// Whether the instrument runs the file's firmware: the same version (as
// numbers, or as the same text) and, where both name one, the same type
// letter (a single space names none).
bool SameVersion(const QByteArray& reported, const QByteArray& file);
bool SameFirmware(const QByteArray& version, const QByteArray& typeLetter, const QByteArray& fileVersion,
                  const QByteArray& fileType);

class RestartWatch : public QObject {
 public:
  static constexpr int kReleaseWaitMs = 6000;  // "STB" (5 s) answered and the link down

  RestartWatch(TZelvoPro* instrument, TKelLink* link, QObject* owner = nullptr);
  ~RestartWatch() override;

  // Starts waiting, for at most limitMs. The instrument's and the link's
  // events are the watch's until it ends; then they are given back. Through
  // a dock the operator is asked to dock the instrument again when
  // askOnDock (the window tells the technician to take it out).
  void Start(RestartPath path, qint64 limitMs, bool askOnDock = false);
  // Ends the wait as how (the operator's Stop, a signal): an instrument that
  // is up is released first, waited for at most releaseMs.
  void GiveUp(RestartCheckReport::End how, int releaseMs);
  bool Running() const { return running_; }
  const RestartCheckReport& Report() const { return report_; }

  // A line of progress ("waiting for the instrument to restart (up to 120 s)").
  std::function<void(const QString&)> OnProgress;
  // The IrDA question has been answered; its answer is taken after this
  // returns (a front end takes a signal that ended the question first).
  std::function<void()> OnQuestionAnswered;
  // Raised once the wait is decided, before any release.
  std::function<void()> OnDecided;
  // Raised once, when the link is down again after the decision.
  std::function<void(const RestartCheckReport&)> OnEnded;

 private:
  // A release under way waits no longer than ms from now.
  void HurryRelease(int ms);
  void Decide(RestartCheckReport::End how, int releaseMs);
  void Look();
  void Ask();
  void Finish();
  void Bind();
  void GiveBack();

  TZelvoPro* instrument_;
  TKelLink* link_;
  TTimer deadline_;
  TTimer releaseTimer_;
  RestartPath path_ = RestartPath::Port;
  bool askOnDock_ = false;
  qint64 limitMs_ = 0;
  bool running_ = false;
  bool decided_ = false;
  RestartCheckReport report_;

  // The handlers in place before the watch started, given back at its end.
  struct Handlers {
    TOnTimeOut linkTimeOut;
    TNotifyEvent openFailed, slaveModeRefused, instrumentTimeOut;
    TLinkStatus isOnline;
  };
  Handlers saved_;
};

}  // namespace zelvo
