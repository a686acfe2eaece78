#pragma once
// How a zelvoflash flash run ended, in the summary's, the exit status's and
// the JSON record's terms.

#include <QString>

#include "session/RestartWatch.h"
#include "session/UploadSession.h"

namespace zelvo::cli {

// VerifyFailed: the upload completed, the check after it (--verify) did not
// find the file's firmware running. UpToDate: the instrument already ran the
// file's firmware and was not flashed (fleet).
enum class Outcome {
  Completed, Refused, Cancelled, ProgramFailed, Disconnected, Timeout, Error, Interrupted, VerifyFailed, UpToDate
};

// The record's "outcome".
const char* OutcomeName(Outcome outcome);
// 0 completed or up to date, 130 interrupted, 1 otherwise.
int ExitCodeOf(Outcome outcome);
// The exit status of a run that would have succeeded but whose trace or
// service record could not be written: a failure.
inline constexpr int kExitRecordLost = 1;

struct RunEnding {
  Outcome outcome = Outcome::Error;
  QString message;  // the summary line, the record's "message"
};

// The run's last line: "flash upload completed", "flash upload failed: ...".
QString EndingText(const RunEnding& ending);

// The ending the session's result names. A refusal names it as soon as it is
// known, before the session has ended the run. declinedQuestion: the guard
// question answered No, in its own words, for the summary of such a refusal.
RunEnding EndingOf(const UploadResult& result, const QString& declinedQuestion);

// The ending of a completed upload checked with --verify: completed only
// when the instrument came back running the file's version (and type letter).
RunEnding EndingOfCheck(const RestartCheckReport& check, const QByteArray& fileVersion, const QByteArray& fileType,
                        int timeoutS);

}  // namespace zelvo::cli
