#include "cli/RestartCheck.h"

#include <QEventLoop>
#include <QTimer>

#include "cli/Connection.h"
#include "cli/Interrupt.h"
#include "cli/Report.h"
#include "core/Dialogs.h"
#include "instrument/FlashFile.h"

namespace zelvo::cli {

namespace {

constexpr int kReleaseWaitMs = 6000;       // "STB" (5 s) answered and the link down
constexpr int kInterruptReleaseMs = 3000;  // Ctrl-C: a few seconds for "ACKBYE" at most

constexpr const char* kIrdaModeAgain =
    "Please put the Instrument in IrDA mode again once it has restarted, by holding the mode key until IrDA shows on "
    "the screen, and place it in front of the PC IrDA(Infrared) port. Then Click OK.";

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

RestartCheckReport RestartCheck::Run() {
  using End = RestartCheckReport::End;
  TKelLink& link = setup_.instrument->link;
  TZelvoPro& zelvo = setup_.instrument->zelvo;
  RestartCheckReport report;
  QEventLoop loop;
  QTimer deadline, releaseTimer;
  deadline.setSingleShot(true);
  deadline.setTimerType(Qt::PreciseTimer);  // a coarse timer may end the wait before the limit
  releaseTimer.setSingleShot(true);
  bool ended = false;  // the answer, the limit or the operator has decided; no more tries

  // Ends the wait; an instrument that is up is released first.
  const auto end = [&](End how, int releaseMs) {
    if (ended) return;
    ended = true;
    report.end = how;
    report.waitedS = setup_.since.elapsed() / 100 / 10.0;
    deadline.stop();
    link.OnTimeOut = nullptr;
    if (zelvo.OnLine() && link.Connected()) {
      setup_.say(QStringLiteral("releasing the instrument (STB)"));
      zelvo.SetOnline(false);  // its "ACKBYE" closes the link
      releaseTimer.start(releaseMs);
      return;
    }
    link.CloseLink();
    loop.quit();
  };

  // One search for the instrument: the link opens (a port at once, an IrDA
  // search or a dock until the connect time-out), and once it is up the
  // instrument component identifies it, re-sending "ENQ" until it answers.
  std::function<void()> look = [&] {
    if (ended) return;
    link.OnTimeOut = [&](QObject*, quint16) {  // nothing came up: look again
      link.CloseLink();
      QTimer::singleShot(0, &loop, look);
    };
    zelvo.SetOnline(true);
  };

  link.OnOpenFailed = [&](QObject*) { end(End::NotBack, 0); };  // it has said why
  link.OnSlaveModeRefused = nullptr;  // the connect time-out follows, and another try
  zelvo.OnTimeOut = nullptr;
  zelvo.OnIsOnline = [&](QObject*, bool online) {
    if (ended) {
      if (!online) loop.quit();  // released
      return;
    }
    if (!online) {  // gone again before it answered
      QTimer::singleShot(0, &loop, look);
      return;
    }
    report.version = zelvo.InstFlashVersion();
    report.typeLetter = zelvo.InstFlashType();
    setup_.say(QStringLiteral("the instrument came back running %1")
                   .arg(PrintableText(zelvo.InstFlashVersion() + ' ' + zelvo.InstFlashType()).trimmed()));
    // Released once the component's event has returned.
    QTimer::singleShot(0, &loop, [&] { end(End::CameBack, kReleaseWaitMs); });
  };
  QObject::connect(&deadline, &QTimer::timeout, [&] { end(End::NotBack, 0); });
  QObject::connect(&releaseTimer, &QTimer::timeout, [&] {
    setup_.say(QStringLiteral("the instrument did not answer the release; closing the link"));
    link.CloseLink();
    loop.quit();
  });
  const auto previousInterrupt = setup_.interrupts->OnInterrupt;
  setup_.interrupts->OnInterrupt = [&](int signal) {
    if (report.signal) {  // a second signal: stop waiting for the release
      loop.quit();
      return;
    }
    report.signal = signal;
    if (ended) {
      report.end = End::Interrupted;
      if (releaseTimer.isActive() && releaseTimer.remainingTime() > kInterruptReleaseMs)
        releaseTimer.start(kInterruptReleaseMs);
      return;
    }
    end(End::Interrupted, kInterruptReleaseMs);
  };

  const qint64 limitMs = qint64{setup_.timeoutS} * 1000;
  setup_.say(QStringLiteral("waiting for the instrument to restart (up to %1 s)").arg(setup_.timeoutS));
  QTimer::singleShot(0, &loop, [&] {
    if (setup_.path == RestartPath::IrdaSocket) {
      const MsgResult answer = MessageDlg(QLatin1String(kIrdaModeAgain), MsgIcon::Information, MsgButtons::OKCancel);
      // A signal ends a question on the terminal (answered Cancel): it is
      // taken first, and the time the answer took is counted.
      setup_.interrupts->Drain();
      if (ended) return;
      if (answer != MsgResult::OK) return end(End::Cancelled, 0);
      if (setup_.since.elapsed() >= limitMs) return end(End::NotBack, 0);
    }
    deadline.start(static_cast<int>(std::max<qint64>(0, limitMs - setup_.since.elapsed())));
    look();
  });
  loop.exec();

  setup_.interrupts->OnInterrupt = previousInterrupt;
  link.OnOpenFailed = nullptr;
  link.OnTimeOut = nullptr;
  zelvo.OnIsOnline = nullptr;
  return report;
}

}  // namespace zelvo::cli
