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

bool TArvennaKova6Dock::IsBatteryKind(char kind) { return kind == 'C' || kind == 'D'; }

qsizetype TArvennaKova6Dock::OwnReportLength(char code, QByteArrayView following) const {
  switch (code) {
    case 'A':
      return 1;
    case 'E':
      // "C" or "D" and the voltage; any other first byte is all there is.
      if (following.isEmpty()) return kLengthNotYetKnown;
      return IsBatteryKind(following[0]) ? 1 + kVoltageDigits : 1;
    default:
      return 0;
  }
}

void TArvennaKova6Dock::HandleOwnEvent(char code, EventParameters& parameters) {
  switch (code) {
    case 'A': {
      quint8 digit = 0;
      parameters.TakeByte(&digit);
      Raise(OnDeviceInserted, this, static_cast<TInstState>(static_cast<quint8>(digit - '0')));
      return;
    }
    case 'E': {
      quint8 kind = 0;
      parameters.TakeByte(&kind);
      if (!IsBatteryKind(static_cast<char>(kind))) return;  // not a battery report
      QByteArray digits;
      parameters.Take(kVoltageDigits, &digits);
      quint16 voltage = 0;
      // A voltage that is not hexadecimal tells nothing: no report.
      if (HexWord(digits, &voltage)) Raise(OnBatteryStatus, this, kind == 'C', kind == 'D', voltage);
      return;
    }
    default:
      return;  // not one of its codes: skipped
  }
}

}  // namespace zelvo
