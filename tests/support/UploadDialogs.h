#pragma once
// The dialogs of a run as the session shows them, declared to the scripted
// operator: the erase warning (OK), then the message of the way to the
// instrument (Prompt::IrdaMode or Prompt::PlaceInDock); for an upload then the
// file and the upgrade question (Yes).

#include "support/ScriptedDialogs.h"
#include "session/UploadSession.h"

namespace zelvo::test {

inline ScriptedDialogs& ExpectRunStart(ScriptedDialogs& dialogs, Prompt approach) {
  return dialogs.Expect(Prompt::EraseWarning, MsgResult::OK).Expect(approach);
}

inline ScriptedDialogs& ExpectUpload(ScriptedDialogs& dialogs, Prompt approach, const QString& file,
                                     const QString& version) {
  return ExpectRunStart(dialogs, approach)
      .ExpectFile(file)
      .Expect(Prompt::UpgradeToVersion, QStringLiteral("Upgrade To Version ") + version, MsgResult::Yes);
}

}  // namespace zelvo::test
