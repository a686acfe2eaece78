#include "support/ScriptedDialogs.h"

#include "core/Diagnostics.h"

namespace zelvo {

namespace {

bool IsMessageBox(DialogCall::Kind kind) {
  return kind == DialogCall::Kind::Message || kind == DialogCall::Kind::MessageDlg;
}

bool OneOf(MsgResult result, MsgButtons buttons) {
  switch (buttons) {
    case MsgButtons::OK: return result == MsgResult::OK;
    case MsgButtons::OKCancel: return result == MsgResult::OK || result == MsgResult::Cancel;
    case MsgButtons::YesNo: return result == MsgResult::Yes || result == MsgResult::No;
  }
  return false;
}

QString DescribeCall(const DialogCall& call) {
  switch (call.kind) {
    case DialogCall::Kind::OpenFile: return QStringLiteral("the file dialog (%1)").arg(call.text);
    case DialogCall::Kind::SelectPort: return QStringLiteral("the port dialog (%1)").arg(call.text);
    default:
      return QStringLiteral("the message \"%1\" (prompt %2, %3, %4)")
          .arg(call.text)
          .arg(static_cast<int>(call.prompt))
          .arg(IconName(call.icon), ButtonsName(call.buttons));
  }
}

}  // namespace

ScriptedDialogs& ScriptedDialogs::Answer(MsgResult result) {
  answers_.push_back({Scripted::Kind::Result, result, {}});
  return *this;
}

ScriptedDialogs& ScriptedDialogs::AnswerFile(const QString& path) {
  answers_.push_back({Scripted::Kind::Text, MsgResult::Cancel, path});
  return *this;
}

ScriptedDialogs& ScriptedDialogs::AnswerPort(const QString& port) {
  answers_.push_back({Scripted::Kind::Text, MsgResult::Cancel, port});
  return *this;
}

ScriptedDialogs& ScriptedDialogs::Expect(Prompt prompt, MsgResult result) {
  return Declare({DialogCall::Kind::MessageDlg, prompt, false, {}, result, {}});
}

ScriptedDialogs& ScriptedDialogs::Expect(Prompt prompt, const QString& text, MsgResult result) {
  return Declare({DialogCall::Kind::MessageDlg, prompt, true, text, result, {}});
}

ScriptedDialogs& ScriptedDialogs::Expect(const QString& text, MsgResult result) {
  return Declare({DialogCall::Kind::MessageDlg, Prompt::General, true, text, result, {}});
}

ScriptedDialogs& ScriptedDialogs::ExpectFile(const QString& path) {
  return Declare({DialogCall::Kind::OpenFile, Prompt::General, false, {}, MsgResult::Cancel, path});
}

ScriptedDialogs& ScriptedDialogs::ExpectPort(const QString& port) {
  return Declare({DialogCall::Kind::SelectPort, Prompt::General, false, {}, MsgResult::Cancel, port});
}

ScriptedDialogs& ScriptedDialogs::Declare(Expected expected) {
  strict_ = true;
  expected_.push_back(std::move(expected));
  return *this;
}

QString ScriptedDialogs::Describe(const Expected& expected) {
  switch (expected.kind) {
    case DialogCall::Kind::OpenFile: return QStringLiteral("the file dialog");
    case DialogCall::Kind::SelectPort: return QStringLiteral("the port dialog");
    default:
      return QStringLiteral("the message of prompt %1%2, answered %3")
          .arg(static_cast<int>(expected.prompt))
          .arg(expected.checksText ? QStringLiteral(" \"%1\"").arg(expected.text) : QString(),
               ResultName(expected.result));
  }
}

QStringList ScriptedDialogs::Pending() const {
  QStringList pending;
  for (const Expected& expected : expected_) pending << Describe(expected);
  return pending;
}

QStringList ScriptedDialogs::TakePending() {
  const QStringList pending = Pending();
  expected_.clear();
  return pending;
}

std::optional<ScriptedDialogs::Expected> ScriptedDialogs::Match(const DialogCall& call) {
  QString why;
  if (expected_.empty()) {
    why = QStringLiteral("no further dialog was expected");
  } else {
    const Expected& next = expected_.front();
    const bool same = IsMessageBox(next.kind) ? IsMessageBox(call.kind) && call.prompt == next.prompt &&
                                                    (!next.checksText || call.text == next.text)
                                              : call.kind == next.kind;
    if (!same)
      why = QStringLiteral("the next one expected is ") + Describe(next);
    else if (IsMessageBox(call.kind) && !OneOf(next.result, call.buttons))
      why = QStringLiteral("its answer %1 is none of its buttons").arg(ResultName(next.result));
  }
  if (why.isEmpty()) {
    Expected next = expected_.front();
    expected_.pop_front();
    return next;
  }
  why = QStringLiteral("unexpected ") + DescribeCall(call) + QStringLiteral(": ") + why;
  if (OnUnexpected) OnUnexpected(call, why);
  else Diagnostic(QStringLiteral("ScriptedDialogs - ") + why);
  return std::nullopt;
}

QStringList ScriptedDialogs::Texts() const {
  QStringList texts;
  for (const DialogCall& call : calls_) {
    if (call.kind == DialogCall::Kind::Message || call.kind == DialogCall::Kind::MessageDlg)
      texts << call.text;
  }
  return texts;
}

int ScriptedDialogs::CountOf(const QString& text) const {
  int n = 0;
  for (const DialogCall& call : calls_) n += call.text == text ? 1 : 0;
  return n;
}

std::vector<Prompt> ScriptedDialogs::Prompts() const {
  std::vector<Prompt> prompts;
  for (const DialogCall& call : calls_)
    if (IsMessageBox(call.kind)) prompts.push_back(call.prompt);
  return prompts;
}

int ScriptedDialogs::CountOf(Prompt prompt) const {
  int n = 0;
  for (const DialogCall& call : calls_) n += IsMessageBox(call.kind) && call.prompt == prompt ? 1 : 0;
  return n;
}

std::optional<ScriptedDialogs::Scripted> ScriptedDialogs::Next(bool wantText) {
  if (answers_.empty()) return std::nullopt;
  if ((answers_.front().kind == Scripted::Kind::Text) != wantText) return std::nullopt;
  Scripted next = answers_.front();
  answers_.pop_front();
  return next;
}

void ScriptedDialogs::Record(DialogCall call) {
  call.openBeneath = open_;
  calls_.push_back(call);
  if (OnCall) OnCall(call);
}

void ScriptedDialogs::ShowMessage(const QString& text) {
  if (strict_) Match({DialogCall::Kind::Message, Prompt::General, text, MsgIcon::None, MsgButtons::OK, {}});
  Record({DialogCall::Kind::Message, Prompt::General, text, MsgIcon::None, MsgButtons::OK, QStringLiteral("OK")});
}

MsgResult ScriptedDialogs::MessageDlg(Prompt prompt, const QString& text, MsgIcon icon, MsgButtons buttons) {
  MsgResult result = MsgResult::OK;
  if (buttons != MsgButtons::OK)
    result = buttons == MsgButtons::YesNo ? default_question_
                                          : (default_question_ == MsgResult::Yes ? MsgResult::OK
                                                                                 : MsgResult::Cancel);
  if (strict_) {
    if (auto expected = Match({DialogCall::Kind::MessageDlg, prompt, text, icon, buttons, {}}))
      result = expected->result;
  } else if (buttons != MsgButtons::OK) {
    if (auto next = Next(false)) result = next->result;
  }
  Record({DialogCall::Kind::MessageDlg, prompt, text, icon, buttons, ResultName(result)});
  return result;
}

void ScriptedDialogs::ClosableMessage(Prompt prompt, const QString& text, MsgIcon icon, MessageCloser& closer) {
  if (strict_) Match({DialogCall::Kind::MessageDlg, prompt, text, icon, MsgButtons::OK, {}});
  if (!KeepClosableOpen) {
    Record({DialogCall::Kind::MessageDlg, prompt, text, icon, MsgButtons::OK, ResultName(MsgResult::OK)});
    return;
  }
  bool closed = false;
  closer.Attach([&closed] { closed = true; });
  Record({DialogCall::Kind::MessageDlg, prompt, text, icon, MsgButtons::OK, QString()});
  const std::size_t index = calls_.size() - 1;
  ++open_;
  KeepClosableOpen([&closed] { return closed; });
  --open_;
  closer.Detach();
  calls_[index].answer = closed ? QStringLiteral("closed") : ResultName(MsgResult::OK);
}

std::optional<QString> ScriptedDialogs::OpenFile(const QString& filter) {
  return Choose(DialogCall::Kind::OpenFile, filter);
}

std::optional<QString> ScriptedDialogs::SelectPort(const QStringList& ports) {
  return Choose(DialogCall::Kind::SelectPort, ports.join(QStringLiteral(", ")));
}

std::optional<QString> ScriptedDialogs::Choose(DialogCall::Kind kind, const QString& text) {
  std::optional<QString> chosen;
  if (strict_) {
    if (auto expected = Match({kind, Prompt::General, text, MsgIcon::None, MsgButtons::OKCancel, {}});
        expected && !expected->reply.isEmpty())
      chosen = expected->reply;
  } else if (auto next = Next(true); next && !next->text.isEmpty()) {
    chosen = next->text;
  }
  Record({kind, Prompt::General, text, MsgIcon::None, MsgButtons::OKCancel, chosen.value_or(QString())});
  return chosen;
}

}  // namespace zelvo
