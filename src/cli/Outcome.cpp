#include "cli/Outcome.h"

#include "cli/Interrupt.h"
#include "cli/Report.h"
#include "instrument/FlashFile.h"

namespace zelvo::cli {

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Completed: return "completed";
    case Outcome::Refused: return "refused";
    case Outcome::Cancelled: return "cancelled";
    case Outcome::ProgramFailed: return "program-failed";
    case Outcome::Disconnected: return "disconnected";
    case Outcome::Timeout: return "timeout";
    case Outcome::Error: return "error";
    case Outcome::Interrupted: return "interrupted";
    case Outcome::VerifyFailed: return "verify-failed";
    case Outcome::UpToDate: return "up-to-date";
  }
  return "error";
}

int ExitCodeOf(Outcome outcome) {
  if (outcome == Outcome::Completed || outcome == Outcome::UpToDate) return 0;
  return outcome == Outcome::Interrupted ? InterruptWatch::kExitInterrupted : 1;
}

QString EndingText(const RunEnding& ending) {
  switch (ending.outcome) {
    case Outcome::Completed: return QStringLiteral("flash upload completed");
    case Outcome::VerifyFailed: return QStringLiteral("flash upload completed, but the check failed: ") + ending.message;
    case Outcome::Interrupted:
    case Outcome::UpToDate: return ending.message;
    default: return QStringLiteral("flash upload failed: ") + ending.message;
  }
}

namespace {

RunEnding RefusalEnding(const UploadResult& result, QString declinedQuestion) {
  switch (result.refusal) {
    case RunRefusal::LtdNotOverInfrared: return {Outcome::Refused, QLatin1String(upload_text::kLtdNotSupported)};
    case RunRefusal::VersionTooOld:
      return {Outcome::Refused, upload_text::VersionNotSupported(result.instrument.InstFlashVersion)};
    case RunRefusal::FileNotValid: return {Outcome::Refused, InvalidFlashFileText(result.instrument)};
    case RunRefusal::TypeDeclined:
    case RunRefusal::OlderVersionDeclined:
      return {Outcome::Refused, QStringLiteral("declined without --force: ") +
                                    declinedQuestion.replace(QLatin1Char('\r'), QLatin1Char(' '))};
    case RunRefusal::None:
    case RunRefusal::EraseDeclined:
    case RunRefusal::NoFileChosen:
    case RunRefusal::UpgradeDeclined:
      break;
  }
  return {Outcome::Cancelled, QStringLiteral("cancelled by the operator")};
}

}  // namespace

RunEnding EndingOf(const UploadResult& result, const QString& declinedQuestion) {
  if (result.refusal != RunRefusal::None) return RefusalEnding(result, declinedQuestion);
  switch (result.outcome) {
    case UploadOutcome::Completed: return {Outcome::Completed, QStringLiteral("flash upload completed")};
    case UploadOutcome::ProgramFailed:
      return {Outcome::ProgramFailed, QStringLiteral("the instrument did not accept the program command")};
    case UploadOutcome::UnexpectedDisconnect:
      return {Outcome::Disconnected, QStringLiteral("the link was lost during the upload")};
    case UploadOutcome::TimedOut: return {Outcome::Timeout, QStringLiteral("the instrument did not come up in time")};
    case UploadOutcome::LinkFailed: return {Outcome::Error, QStringLiteral("the link could not be opened")};
    case UploadOutcome::Stalled:  // the command's own progress bound comes first
    case UploadOutcome::Halted:   // as does its own ending for a refused page
    case UploadOutcome::Refused:  // always with a refusal, as is Cancelled
    case UploadOutcome::Cancelled:
    case UploadOutcome::Closed:
    case UploadOutcome::None:
      break;
  }
  return {Outcome::Disconnected, QStringLiteral("the connection closed before the upload")};
}

RunEnding EndingOfCheck(const RestartCheckReport& check, const QByteArray& fileVersion, const QByteArray& fileType,
                        int timeoutS) {
  using End = RestartCheckReport::End;
  switch (check.end) {
    case End::Interrupted:
      return {Outcome::Interrupted, QStringLiteral("the flash upload completed; the check was interrupted by %1")
                                        .arg(SignalName(check.signal))};
    case End::Cancelled:
      return {Outcome::VerifyFailed, QStringLiteral("the check was cancelled by the operator")};
    case End::NotBack:
      return {Outcome::VerifyFailed, QStringLiteral("the instrument did not come back within %1 s").arg(timeoutS)};
    case End::CameBack:
      break;
  }
  const QByteArray version = check.version.value_or(QByteArray());
  const QByteArray type = check.typeLetter.value_or(QByteArray());
  if (SameFirmware(version, type, fileVersion, fileType))
    return {Outcome::Completed, QStringLiteral("flash upload completed")};
  // The type letters are named only when they are what differs.
  const bool typeDiffers = SameVersion(version, fileVersion);
  const auto named = [typeDiffers](const QByteArray& v, const QByteArray& t) {
    return PrintableText(typeDiffers ? v + ' ' + t : v).trimmed();
  };
  return {Outcome::VerifyFailed, QStringLiteral("the instrument came back running %1, the file is %2")
                                     .arg(named(version, type), named(fileVersion, fileType))};
}

}  // namespace zelvo::cli
