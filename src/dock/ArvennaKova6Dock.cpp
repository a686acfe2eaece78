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

TArvennaKova6Dock::TArvennaKova6Dock(QObject* owner) : TMultiGasDock(kModel, owner) {}

bool TArvennaKova6Dock::SetSlaveMode(bool slave, bool& retry) {
  return SlaveModeWithRetry(slave, retry, /*selfEnable=*/false);
}

bool TArvennaKova6Dock::HandleOwnEvent(char code, EventParameters& parameters) {
  switch (code) {
    case 'A': {
      quint8 digit = 0;
      if (!parameters.TakeByte(&digit)) return false;
      Raise(OnDeviceInserted, this, static_cast<TInstState>(static_cast<quint8>(digit - '0')));
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
