#include "core/ScriptedDialogs.h"

namespace zelvo {

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
  Record({DialogCall::Kind::Message, text, MsgIcon::None, MsgButtons::OK, QStringLiteral("OK")});
}

MsgResult ScriptedDialogs::MessageDlg(const QString& text, MsgIcon icon, MsgButtons buttons) {
  MsgResult result = MsgResult::OK;
  if (buttons != MsgButtons::OK) {
    result = buttons == MsgButtons::YesNo ? default_question_
                                          : (default_question_ == MsgResult::Yes ? MsgResult::OK
                                                                                 : MsgResult::Cancel);
    if (auto next = Next(false)) result = next->result;
  }
  Record({DialogCall::Kind::MessageDlg, text, icon, buttons, ResultName(result)});
  return result;
}

void ScriptedDialogs::ClosableMessage(const QString& text, MsgIcon icon, MessageCloser& closer) {
  if (!KeepClosableOpen) {
    Record({DialogCall::Kind::MessageDlg, text, icon, MsgButtons::OK, ResultName(MsgResult::OK)});
    return;
  }
  bool closed = false;
  closer.Attach([&closed] { closed = true; });
  Record({DialogCall::Kind::MessageDlg, text, icon, MsgButtons::OK, QString()});
  const std::size_t index = calls_.size() - 1;
  ++open_;
  KeepClosableOpen([&closed] { return closed; });
  --open_;
  closer.Detach();
  calls_[index].answer = closed ? QStringLiteral("closed") : ResultName(MsgResult::OK);
}

std::optional<QString> ScriptedDialogs::OpenFile(const QString& filter) {
  std::optional<QString> path;
  if (auto next = Next(true); next && !next->text.isEmpty())
    path = next->text;
  Record({DialogCall::Kind::OpenFile, filter, MsgIcon::None, MsgButtons::OKCancel,
          path.value_or(QString())});
  return path;
}

std::optional<QString> ScriptedDialogs::SelectPort(const QStringList& ports) {
  std::optional<QString> port;
  if (auto next = Next(true); next && !next->text.isEmpty())
    port = next->text;
  Record({DialogCall::Kind::SelectPort, ports.join(QStringLiteral(", ")), MsgIcon::None,
          MsgButtons::OKCancel, port.value_or(QString())});
  return port;
}

}  // namespace zelvo
