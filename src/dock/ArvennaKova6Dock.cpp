#include "dock/ArvennaKova6Dock.h"

#include <cctype>

namespace zelvo {

namespace {

constexpr int kVoltageDigits = 4;

// Four hexadecimal digits; false (nothing set) when one is not.
bool HexWord(const QByteArray& digits, quint16* value) {
  for (char c : digits)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;  // no sign, space or prefix
  *value = static_cast<quint16>(digits.toUInt(nullptr, 16));
  return true;
}

}  // namespace

const DockModel TArvennaKova6Dock::kModel = {
    kUsbDeviceType,
    "5004",
    "5005",
    TcpDockStyle::FixedWait,
    /*debugLines=*/false,
    /*tcpSendChecked=*/false,
    /*haltedRestarts=*/false,
    "Cant Send, Usb Device is Halted!",
    "Send Error, Dock not Enabled!",
    "Can't Send, Pending Command!",
    /*idleWhenDisabled=*/true,
    /*hasPSS=*/false,
};

static_assert(static_cast<int>(TArvennaKova6Dock::TDockState::Cmd_PIDTest) == 34);
static_assert(static_cast<int>(TArvennaKova6Dock::TTestResult::PID_LAMP_FAILURE) == 15);

TArvennaKova6Dock::TArvennaKova6Dock(QObject* owner) : TDockProtocol(kModel, owner) {}

bool TArvennaKova6Dock::SetSlaveMode(bool slave, bool& retry) {
  return SlaveModeWithRetry(slave, retry, /*selfEnable=*/false);
}

bool TArvennaKova6Dock::RaiseTestCompleted(quint8 result) { return RaiseAs<TTestResult>(OnTestCompleted, result); }

bool TArvennaKova6Dock::RaiseStateChange(quint8 state) { return RaiseAs<TDockState>(OnStateChange, state); }

void TArvennaKova6Dock::RaiseDebugRcvUserData(const QByteArray& data) { Raise(OnDebugRcvUserData, this, data); }

void TArvennaKova6Dock::RaiseDebugSndUserData(const QByteArray& data) { Raise(OnDebugSndUserData, this, data); }

bool TArvennaKova6Dock::HandleModelEvent(char code, EventParameters& parameters) {
  switch (code) {
    case '9': {
      TGasReading reading;
      if (!parameters.TakeReversed(&reading.bytes)) return false;
      Raise(OnGotGasReading, this, reading);
      return true;
    }
    case 'A': {
      quint8 digit = 0;
      if (!parameters.TakeByte(&digit)) return false;
      Raise(OnDeviceInserted, this, static_cast<TInstState>(static_cast<quint8>(digit - '0')));
      return true;
    }
    case 'B': {
      quint8 cause = 0, sensors = 0;
      if (!parameters.TakeByte(&cause) || !parameters.TakeByte(&sensors)) return false;
      spanCalCause_ = cause;
      Raise(OnSpanCalibration, this, static_cast<TSpanCalDueTo>(cause), TSensorFlags::FromByte(sensors));
      return true;
    }
    case 'E': {
      quint8 kind = 0;
      if (!parameters.TakeByte(&kind)) return false;
      if (kind != 'C' && kind != 'D') return true;  // not a battery report
      QByteArray digits;
      if (!parameters.Take(kVoltageDigits, &digits)) return false;
      quint16 voltage = 0;
      // A voltage that is not hexadecimal tells nothing: no report.
      if (HexWord(digits, &voltage)) Raise(OnBatteryStatus, this, kind == 'C', kind == 'D', voltage);
      return true;
    }
    default:
      return true;  // not one of its codes: skipped
  }
}

}  // namespace zelvo
