#include "session/RestartWatch.h"

#include <QPointer>
#include <algorithm>
#include <limits>
#include <QTimer>

#include "core/Dialogs.h"
#include "instrument/FlashFile.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "session/UploadSession.h"

namespace zelvo {

namespace {

bool NamesType(const QByteArray& letter) { return !letter.isEmpty() && letter != " "; }

}  // namespace

bool SameVersion(const QByteArray& reported, const QByteArray& file) {
  if (reported.trimmed() == file.trimmed()) return true;
  const double a = VersionToNumber(reported);
  return a > 0 && a == VersionToNumber(file);
}

bool SameFirmware(const QByteArray& version, const QByteArray& typeLetter, const QByteArray& fileVersion,
                  const QByteArray& fileType) {
  if (!SameVersion(version, fileVersion)) return false;
  return !NamesType(typeLetter) || !NamesType(fileType) || typeLetter == fileType;
}

RestartWatch::RestartWatch(TZelvoPro* instrument, TKelLink* link, QObject* owner)
    : QObject(owner), instrument_(instrument), link_(link) {
  deadline_.OnTimer = [this](QObject*) {
    deadline_.SetEnabled(false);
    Decide(RestartCheckReport::End::NotBack, 0);
  };
  releaseTimer_.OnTimer = [this](QObject*) {
    releaseTimer_.SetEnabled(false);
    if (OnProgress) OnProgress(QStringLiteral("the instrument did not answer the release; closing the link"));
    link_->CloseLink();
    Finish();
  };
}

RestartWatch::~RestartWatch() {
  if (running_) GiveBack();
}

void RestartWatch::Bind() {
  saved_ = {link_->OnTimeOut, link_->OnOpenFailed, link_->OnSlaveModeRefused, instrument_->OnTimeOut,
            instrument_->OnIsOnline};
  link_->OnOpenFailed = [this](QObject*) { Decide(RestartCheckReport::End::NotBack, 0); };  // it has said why
  link_->OnSlaveModeRefused = nullptr;  // the connect time-out follows, and another try
  instrument_->OnTimeOut = nullptr;
  instrument_->OnIsOnline = [this](QObject*, bool online) {
    if (decided_) {
      if (!online) Finish();  // released
      return;
    }
    if (!online) {  // gone again before it answered
      QTimer::singleShot(0, this, [this] { Look(); });
      return;
    }
    report_.version = instrument_->InstFlashVersion();
    report_.typeLetter = instrument_->InstFlashType();
    // Released once the component's event has returned.
    QTimer::singleShot(0, this, [this] { Decide(RestartCheckReport::End::CameBack, kReleaseWaitMs); });
  };
}

void RestartWatch::GiveBack() {
  link_->OnTimeOut = saved_.linkTimeOut;
  link_->OnOpenFailed = saved_.openFailed;
  link_->OnSlaveModeRefused = saved_.slaveModeRefused;
  instrument_->OnTimeOut = saved_.instrumentTimeOut;
  instrument_->OnIsOnline = saved_.isOnline;
}

void RestartWatch::Start(RestartPath path, qint64 limitMs, bool askOnDock) {
  path_ = path;
  askOnDock_ = askOnDock;
  limitMs_ = limitMs;
  report_ = {};
  decided_ = false;
  running_ = true;
  Bind();
  if (OnProgress)
    OnProgress(QStringLiteral("waiting for the instrument to restart (up to %1 s)").arg((limitMs + 999) / 1000));
  QTimer::singleShot(0, this, [this] { Ask(); });
}

// Over an IrDA socket the technician puts the instrument in IrDA mode again
// (and in the dock again, where told to take it out); the time the answer
// took counts.
void RestartWatch::Ask() {
  if (decided_) return;
  // A limit already reached still fires (a zero interval never would).
  deadline_.SetInterval(static_cast<int>(std::clamp<qint64>(limitMs_, 1, std::numeric_limits<int>::max())));
  deadline_.SetEnabled(true);
  const bool irda = path_ == RestartPath::IrdaSocket;
  if (irda || (path_ == RestartPath::Dock && askOnDock_)) {
    QPointer<RestartWatch> self(this);
    const MsgResult answer = irda ? MessageDlg(Prompt::IrdaModeAgain, QLatin1String(upload_text::kIrdaModeAgain),
                                               MsgIcon::Information, MsgButtons::OKCancel)
                                  : MessageDlg(Prompt::DockAgain, QLatin1String(upload_text::kDockAgain),
                                               MsgIcon::Information, MsgButtons::OKCancel);
    if (!self) return;
    if (OnQuestionAnswered) OnQuestionAnswered();
    if (decided_) return;
    if (answer != MsgResult::OK) return Decide(RestartCheckReport::End::Cancelled, 0);
  }
  Look();
}

// One search for the instrument: the link opens (a port at once, an IrDA
// search or a dock until the connect time-out), and once it is up the
// instrument component identifies it, re-sending "ENQ" until it answers.
void RestartWatch::Look() {
  if (decided_) return;
  link_->OnTimeOut = [this](QObject*, quint16) {  // nothing came up: look again
    link_->CloseLink();
    QTimer::singleShot(0, this, [this] { Look(); });
  };
  instrument_->SetOnline(true);
}

void RestartWatch::GiveUp(RestartCheckReport::End how, int releaseMs) {
  if (!running_) return;
  if (decided_) {
    report_.end = how;
    HurryRelease(releaseMs);
    return;
  }
  Decide(how, releaseMs);
}

void RestartWatch::HurryRelease(int ms) {
  if (releaseTimer_.Enabled() && releaseTimer_.Interval() > ms) {
    releaseTimer_.SetEnabled(false);
    releaseTimer_.SetInterval(ms);
    releaseTimer_.SetEnabled(true);
  }
}

// The wait ends; an instrument that is up is released first.
void RestartWatch::Decide(RestartCheckReport::End how, int releaseMs) {
  if (decided_ || !running_) return;
  decided_ = true;
  report_.end = how;
  deadline_.SetEnabled(false);
  link_->OnTimeOut = nullptr;
  if (OnDecided) OnDecided();
  if (how == RestartCheckReport::End::CameBack && OnProgress)
    OnProgress(QStringLiteral("the instrument came back running %1")
                   .arg(QString::fromLatin1(*report_.version + ' ' + *report_.typeLetter).trimmed()));
  if (instrument_->OnLine() && link_->Connected()) {
    if (OnProgress) OnProgress(QStringLiteral("releasing the instrument (STB)"));
    releaseTimer_.SetInterval(releaseMs > 0 ? releaseMs : kReleaseWaitMs);
    releaseTimer_.SetEnabled(true);
    instrument_->SetOnline(false);  // its "ACKBYE" closes the link
    return;
  }
  link_->CloseLink();
  Finish();
}

void RestartWatch::Finish() {
  if (!running_) return;
  running_ = false;
  releaseTimer_.SetEnabled(false);
  deadline_.SetEnabled(false);
  GiveBack();
  if (OnEnded) OnEnded(report_);
}

}  // namespace zelvo
