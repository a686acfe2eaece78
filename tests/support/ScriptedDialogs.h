#pragma once
// Scripted operator for tests.
//
// Every call is recorded (kind, text, icon, buttons, answer). Answers come from
// a queue filled by the test; when the queue is empty the default answer is
// used (OK for OK boxes, the configured default for questions, cancel for file
// and port dialogs).
//
// Strict use: the test declares, in order, each dialog it expects with its
// answer (Expect, ExpectFile, ExpectPort). The program's own messages and
// questions are declared by their Prompt, a component's failure messages
// (Prompt::General) by their text. From the first declaration on, the
// queue is not used: a dialog that is not the next one declared is reported
// through OnUnexpected (and given the default answer), and Pending() names
// the declared dialogs not shown yet.

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "core/Dialogs.h"

namespace zelvo {

struct DialogCall {
  enum class Kind { Message, MessageDlg, OpenFile, SelectPort };
  Kind kind = Kind::Message;
  Prompt prompt = Prompt::General;  // message boxes
  QString text;  // message text, file filter, or the ports joined with ", "
  MsgIcon icon = MsgIcon::None;
  MsgButtons buttons = MsgButtons::OK;
  QString answer;  // button name, chosen path or port, "" when cancelled, "closed" when the program closed it
  int openBeneath = 0;  // messages still open under this one (held-open closable messages)
};

class ScriptedDialogs : public DialogsService {
 public:
  // Queue answers, consumed in order by MessageDlg, OpenFile and SelectPort.
  ScriptedDialogs& Answer(MsgResult result);
  ScriptedDialogs& AnswerFile(const QString& path);  // empty path: cancel
  ScriptedDialogs& AnswerPort(const QString& port);  // empty: cancel

  // Strict use. A message or question for prompt, answered with result (which
  // must be one of its buttons); with text, showing exactly that text.
  ScriptedDialogs& Expect(Prompt prompt, MsgResult result = MsgResult::OK);
  ScriptedDialogs& Expect(Prompt prompt, const QString& text, MsgResult result = MsgResult::OK);
  // A General message or question with exactly this text.
  ScriptedDialogs& Expect(const QString& text, MsgResult result = MsgResult::OK);
  ScriptedDialogs& ExpectFile(const QString& path);  // empty path: cancel
  ScriptedDialogs& ExpectPort(const QString& port);  // empty: cancel
  // A dialog strict use did not allow, and why, in words for the test's report.
  std::function<void(const DialogCall& call, const QString& why)> OnUnexpected;
  // The declared dialogs not shown yet, described; TakePending forgets them.
  QStringList Pending() const;
  QStringList TakePending();

  // Answer given to a question when the queue has nothing for it.
  void SetDefaultQuestionAnswer(MsgResult result) { default_question_ = result; }
  // Called after each recorded call (for example to quit a nested loop).
  std::function<void(const DialogCall&)> OnCall;
  // A message the program may close is answered OK at once, unless this is
  // set: then it stays open while KeepClosableOpen runs (the test drives time
  // there, told whether the program has closed it), and the operator presses
  // OK when it returns with the message still open.
  std::function<void(const std::function<bool()>& closedByProgram)> KeepClosableOpen;

  const std::vector<DialogCall>& Calls() const { return calls_; }
  // Only the texts, in order: messages and questions alike.
  QStringList Texts() const;
  int CountOf(const QString& text) const;
  bool Saw(const QString& text) const { return CountOf(text) > 0; }
  // The prompts of the message boxes, in order.
  std::vector<Prompt> Prompts() const;
  int CountOf(Prompt prompt) const;
  bool Saw(Prompt prompt) const { return CountOf(prompt) > 0; }
  void Clear() { calls_.clear(); }
  bool AnswersLeft() const { return !answers_.empty(); }

  void ShowMessage(const QString& text) override;
  MsgResult MessageDlg(Prompt prompt, const QString& text, MsgIcon icon, MsgButtons buttons) override;
  void ClosableMessage(Prompt prompt, const QString& text, MsgIcon icon, MessageCloser& closer) override;
  std::optional<QString> OpenFile(const QString& filter) override;
  std::optional<QString> SelectPort(const QStringList& ports) override;

 private:
  struct Scripted {
    enum class Kind { Result, Text } kind;
    MsgResult result;
    QString text;
  };
  struct Expected {
    DialogCall::Kind kind;  // MessageDlg stands for both kinds of message box
    Prompt prompt;
    bool checksText;  // messages and questions: whether they must show text
    QString text;
    MsgResult result;
    QString reply;  // file or port
  };
  // Takes the front answer when it is of the kind asked for; a question never
  // eats a file answer and the other way round.
  std::optional<Scripted> Next(bool wantText);
  // Strict: takes the next declared dialog when call is that one; reports the
  // call otherwise.
  std::optional<Expected> Match(const DialogCall& call);
  // A file or port dialog showing text: the path or port chosen.
  std::optional<QString> Choose(DialogCall::Kind kind, const QString& text);
  ScriptedDialogs& Declare(Expected expected);
  static QString Describe(const Expected& expected);
  void Record(DialogCall call);

  std::deque<Scripted> answers_;
  std::deque<Expected> expected_;
  bool strict_ = false;
  std::vector<DialogCall> calls_;
  int open_ = 0;  // closable messages held open now
  MsgResult default_question_ = MsgResult::No;
};

}  // namespace zelvo
