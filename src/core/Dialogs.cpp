#include "core/Dialogs.h"

#include "core/Diagnostics.h"

namespace zelvo {

QString IconName(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::None: return QStringLiteral("none");
    case MsgIcon::Warning: return QStringLiteral("warning");
    case MsgIcon::Error: return QStringLiteral("error");
    case MsgIcon::Information: return QStringLiteral("information");
    case MsgIcon::Confirmation: return QStringLiteral("confirmation");
  }
  return {};
}

QString ButtonsName(MsgButtons buttons) {
  switch (buttons) {
    case MsgButtons::OK: return QStringLiteral("OK");
    case MsgButtons::OKCancel: return QStringLiteral("OK/Cancel");
    case MsgButtons::YesNo: return QStringLiteral("Yes/No");
  }
  return {};
}

QString ResultName(MsgResult result) {
  switch (result) {
    case MsgResult::OK: return QStringLiteral("OK");
    case MsgResult::Cancel: return QStringLiteral("Cancel");
    case MsgResult::Yes: return QStringLiteral("Yes");
    case MsgResult::No: return QStringLiteral("No");
  }
  return {};
}

bool TakesRisk(Prompt prompt) { return prompt == Prompt::OtherFirmwareType || prompt == Prompt::OlderVersion; }

namespace {

// Used until a front end installs its own service.
class SilentDialogs final : public DialogsService {
 public:
  void ShowMessage(const QString& text) override { Diagnostic(QStringLiteral("Message: ") + text); }
  MsgResult MessageDlg(Prompt, const QString& text, MsgIcon icon, MsgButtons buttons) override {
    Diagnostic(QStringLiteral("Message (%1): %2").arg(IconName(icon), text));
    return buttons == MsgButtons::YesNo ? MsgResult::Yes : MsgResult::OK;
  }
  std::optional<QString> OpenFile(const QString&) override { return std::nullopt; }
  std::optional<QString> SelectPort(const QStringList&) override { return std::nullopt; }
};

SilentDialogs g_silent;
// One service per thread: each session on a thread of its own talks to the
// operator its own way (the command line's fleet gives every dock its own).
thread_local DialogsService* g_service = nullptr;

}  // namespace

DialogsService& Dialogs() { return g_service ? *g_service : g_silent; }

DialogsService* SetDialogs(DialogsService* service) {
  DialogsService* previous = g_service;
  g_service = service;
  return previous;
}

}  // namespace zelvo
