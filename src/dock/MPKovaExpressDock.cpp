#include "dock/MPKovaExpressDock.h"

namespace zelvo {

const DockModel TMPKovaExpressDock::kModel = {
    kUsbDeviceType,
    "5002",
    "5003",
    TcpDockStyle::FixedWait,
    /*debugLines=*/false,
    /*tcpSendChecked=*/false,
    /*haltedRestarts=*/false,
    "Cant Send, Usb Device is Halted!",
    "Send Error, Dock not Enabled!",
    /*pendingText=*/nullptr,
    /*idleWhenDisabled=*/false,
    /*hasPSS=*/false,
};

static_assert(static_cast<int>(TMPKovaExpressDock::TDockState::Cmd_Alm2) == 35);
static_assert(static_cast<int>(TMPKovaExpressDock::TTestResult::INST_NOT_INSERTED) == 13);

TMPKovaExpressDock::TMPKovaExpressDock(QObject* owner) : TMultiGasDock(kModel, owner) {}

bool TMPKovaExpressDock::SetSlaveMode(bool slave, bool& retry) {
  retry = false;
  SetReplyKind(TReplyKind::rkNone);
  return SendCommand(slave ? "SLV" : "MST");
}

void TMPKovaExpressDock::HandleOwnEvent(char code, EventParameters&) {
  if (code == 'A') Raise(OnDeviceInserted, this);
  // any other ("E" included) is not one of its codes: skipped
}

}  // namespace zelvo
