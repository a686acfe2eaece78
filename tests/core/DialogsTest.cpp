#include <gtest/gtest.h>

#include "core/ScriptedDialogs.h"

using namespace zelvo;

TEST(ScriptedDialogs, RecordsEveryTextIconAndButtonSet) {
  ScriptedDialogs dialogs;
  ScopedDialogs installed(&dialogs);
  ShowMessage(QStringLiteral("plain"));
  dialogs.Answer(MsgResult::Yes);
  EXPECT_EQ(MessageDlg(QStringLiteral("question"), MsgIcon::Confirmation, MsgButtons::YesNo), MsgResult::Yes);
  EXPECT_EQ(MessageDlg(QStringLiteral("info"), MsgIcon::Information, MsgButtons::OK), MsgResult::OK);

  ASSERT_EQ(dialogs.Calls().size(), 3u);
  EXPECT_EQ(dialogs.Calls()[0].kind, DialogCall::Kind::Message);
  EXPECT_EQ(dialogs.Calls()[1].icon, MsgIcon::Confirmation);
  EXPECT_EQ(dialogs.Calls()[1].buttons, MsgButtons::YesNo);
  EXPECT_EQ(dialogs.Calls()[1].answer, QStringLiteral("Yes"));
  EXPECT_EQ(dialogs.Texts(), (QStringList{"plain", "question", "info"}));
}

TEST(ScriptedDialogs, AnswersAreTakenOnlyByCallsOfTheirKind) {
  ScriptedDialogs dialogs;
  ScopedDialogs installed(&dialogs);
  dialogs.AnswerFile(QStringLiteral("/tmp/a.bin")).Answer(MsgResult::Yes);
  // An OK box does not eat an answer; a question does not eat a file answer.
  MessageDlg(QStringLiteral("error"), MsgIcon::Error, MsgButtons::OK);
  EXPECT_EQ(MessageDlg(QStringLiteral("q"), MsgIcon::Confirmation, MsgButtons::YesNo), MsgResult::No);
  EXPECT_EQ(Dialogs().OpenFile(QStringLiteral("Binary File|*.bin")), QStringLiteral("/tmp/a.bin"));
  EXPECT_EQ(MessageDlg(QStringLiteral("q"), MsgIcon::Confirmation, MsgButtons::YesNo), MsgResult::Yes);
  // Empty queue: file dialog cancelled, OK/Cancel answered Cancel by default.
  EXPECT_FALSE(Dialogs().OpenFile(QStringLiteral("x")).has_value());
  EXPECT_EQ(MessageDlg(QStringLiteral("w"), MsgIcon::Warning, MsgButtons::OKCancel), MsgResult::Cancel);
  dialogs.SetDefaultQuestionAnswer(MsgResult::Yes);
  EXPECT_EQ(MessageDlg(QStringLiteral("w"), MsgIcon::Warning, MsgButtons::OKCancel), MsgResult::OK);
}

TEST(ScriptedDialogs, ScopeRestoresThePreviousService) {
  ScriptedDialogs outer, inner;
  ScopedDialogs a(&outer);
  {
    ScopedDialogs b(&inner);
    ShowMessage(QStringLiteral("inner"));
  }
  ShowMessage(QStringLiteral("outer"));
  EXPECT_EQ(inner.Texts(), QStringList{QStringLiteral("inner")});
  EXPECT_EQ(outer.Texts(), QStringList{QStringLiteral("outer")});
}
