#pragma once
// The dialogs of a run as the session shows them, declared to the scripted
// operator: the erase warning (OK), then the message of the way to the
// instrument (kIrdaMode or kPlaceInDock); for an upload then the file and the
// upgrade question (Yes).

#include "support/ScriptedDialogs.h"
#include "session/UploadSession.h"

namespace zelvo::test {

inline ScriptedDialogs& ExpectRunStart(ScriptedDialogs& dialogs, const char* approach) {
  return dialogs.Expect(QLatin1String(upload_text::kEraseWarning), MsgResult::OK).Expect(QLatin1String(approach));
}

inline ScriptedDialogs& ExpectUpload(ScriptedDialogs& dialogs, const char* approach, const QString& file,
                                     const QString& version) {
  return ExpectRunStart(dialogs, approach)
      .ExpectFile(file)
      .Expect(QStringLiteral("Upgrade To Version ") + version, MsgResult::Yes);
}

}  // namespace zelvo::test
