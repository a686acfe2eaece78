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

TMPKovaExpressDock::TMPKovaExpressDock(QObject* owner) : TDockProtocol(kModel, owner) {}

bool TMPKovaExpressDock::SetSlaveMode(bool slave, bool& retry) {
  retry = false;
  SetReplyKind(TReplyKind::rkNone);
  return SendCommand(slave ? "SLV" : "MST");
}

bool TMPKovaExpressDock::RaiseTestCompleted(quint8 result) { return RaiseAs<TTestResult>(OnTestCompleted, result); }

bool TMPKovaExpressDock::RaiseStateChange(quint8 state) { return RaiseAs<TDockState>(OnStateChange, state); }

void TMPKovaExpressDock::RaiseDebugRcvUserData(const QByteArray& data) { Raise(OnDebugRcvUserData, this, data); }

void TMPKovaExpressDock::RaiseDebugSndUserData(const QByteArray& data) { Raise(OnDebugSndUserData, this, data); }

bool TMPKovaExpressDock::HandleModelEvent(char code, EventParameters& parameters) {
  switch (code) {
    case '9': {
      TGasReading reading;
      if (!parameters.TakeReversed(&reading.bytes)) return false;
      Raise(OnGotGasReading, this, reading);
      return true;
    }
    case 'A':
      Raise(OnDeviceInserted, this);
      return true;
    case 'B': {
      quint8 cause = 0, sensors = 0;
      if (!parameters.TakeByte(&cause) || !parameters.TakeByte(&sensors)) return false;
      spanCalCause_ = cause;
      Raise(OnSpanCalibration, this, static_cast<TSpanCalDueTo>(cause), TSensorFlags::FromByte(sensors));
      return true;
    }
    default:
      return true;  // not one of its codes ("E" included): skipped
  }
}

}  // namespace zelvo
