#include <gtest/gtest.h>

#include <functional>

#include "support/ScriptedDialogs.h"

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

// Strict use: each call is checked against the next declared dialog; one that
// is not it is reported and answered as without a script.
TEST(ScriptedDialogs, DeclaredDialogsAreAnsweredAndOthersReported) {
  const struct {
    const char* what;
    std::function<void(ScriptedDialogs&)> declare;
    bool reported;  // the question "q", then answered No (the default) instead of Yes
  } cases[] = {
      {"the text", [](ScriptedDialogs& d) { d.Expect(QStringLiteral("q"), MsgResult::Yes); }, false},
      {"another text", [](ScriptedDialogs& d) { d.Expect(QStringLiteral("p"), MsgResult::Yes); }, true},
      {"an answer of no button", [](ScriptedDialogs& d) { d.Expect(QStringLiteral("q"), MsgResult::OK); }, true},
      {"a file dialog", [](ScriptedDialogs& d) { d.ExpectFile(QStringLiteral("/a.bin")); }, true},
      {"nothing more",
       [](ScriptedDialogs& d) {
         d.Expect(QStringLiteral("first"));
         ShowMessage(QStringLiteral("first"));
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedDialogs dialogs;
    ScopedDialogs installed(&dialogs);
    QStringList reported;
    dialogs.OnUnexpected = [&](const DialogCall& call, const QString&) { reported << call.text; };
    c.declare(dialogs);
    EXPECT_EQ(MessageDlg(QStringLiteral("q"), MsgIcon::Confirmation, MsgButtons::YesNo),
              c.reported ? MsgResult::No : MsgResult::Yes);
    EXPECT_EQ(reported, c.reported ? QStringList{"q"} : QStringList{});
  }

  // Declared but not shown yet; files and ports answered as declared.
  ScriptedDialogs dialogs;
  ScopedDialogs installed(&dialogs);
  dialogs.Answer(MsgResult::Yes);  // the queue is not used once dialogs are declared
  dialogs.ExpectFile(QStringLiteral("/a.bin")).ExpectPort({}).Expect(QStringLiteral("done"), MsgResult::Cancel);
  EXPECT_EQ(Dialogs().OpenFile(QStringLiteral("Binary File|*.bin")), QStringLiteral("/a.bin"));
  EXPECT_FALSE(Dialogs().SelectPort({QStringLiteral("COM3")}).has_value());
  EXPECT_EQ(dialogs.TakePending().size(), 1);  // "done"
  EXPECT_TRUE(dialogs.Pending().isEmpty());
  EXPECT_EQ(MessageDlg(QStringLiteral("w"), MsgIcon::Warning, MsgButtons::OKCancel), MsgResult::Cancel);
}
