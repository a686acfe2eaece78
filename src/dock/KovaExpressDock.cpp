#include "dock/KovaExpressDock.h"

#include <QPointer>
#include <array>

#include "core/Bytes.h"
#include "usb/UsbBackend.h"

namespace zelvo {

namespace {

const std::array<const char*, 26> kStateNames = {
    "Cmd_Enq ",  // the dock's own line has a trailing space here
    "Cmd_Who", "Cmd_Ver", "Cmd_BatVoltage", "Cmd_Alm", "Cmd_AlmTest", "Cmd_Stb", "Cmd_Vib", "Cmd_CheckZero",
    "Cmd_Zero", "Cmd_Zeroing", "Cmd_SetClock", "Cmd_WaitForGas", "Cmd_BumpStart", "Cmd_Bumping", "Cmd_GetGasRead",
    "Cmd_UnitEE", "Cmd_SensorEE", "Cmd_SensorEE_2", "Cmd_Span", "Cmd_Spanning", "Cmd_UpdtFullCallDate",
    "Cmd_Purge", "Cmd_Disc", "Cmd_GetSecCounter", "Cmd_WSensorEE"};

}  // namespace

const DockModel TKovaExpressDock::kModel = {
    kUsbDeviceType,
    "5000",
    "5001",
    TcpDockStyle::WaitWhileConnecting,
    /*debugLines=*/true,
    /*tcpSendChecked=*/true,
    /*haltedRestarts=*/true,
    "Cant Send, USB Halted!, Restarting.",
    "Send Error, USB Dock not Enabled!",
    /*pendingText=*/nullptr,
    /*idleWhenDisabled=*/false,
    /*hasPSS=*/true,
};

TKovaExpressDock::TKovaExpressDock(QObject* owner) : TTypedDock(kModel, owner) {}

QString TKovaExpressDock::DockStateName(quint8 state) {
  if (state >= kStateNames.size()) return {};
  return QString::fromLatin1(kStateNames[state]).trimmed();
}

QString TKovaExpressDock::StateName(quint8 state) const {
  return state < kStateNames.size() ? QString::fromLatin1(kStateNames[state]) : QString();
}

qsizetype TKovaExpressDock::ModelReportLength(char code, QByteArrayView) const {
  switch (code) {
    case '9': return 2;
    case 'B': return 1;
    case 'E': return 2;
    default: return 0;
  }
}

void TKovaExpressDock::HandleModelEvent(char code, EventParameters& parameters) {
  QByteArray bytes;
  switch (code) {
    case '9':
      parameters.Take(2, &bytes);
      Raise(OnGotGasReading, this, static_cast<qint16>(BigEndian16At(bytes, 0)));
      return;
    case 'B':
      parameters.Take(1, &bytes);
      spanCalCause_ = static_cast<quint8>(bytes[0]);
      Raise(OnSpanCalibration, this, static_cast<TSpanCalDueTo>(spanCalCause_));
      return;
    case 'E':
      parameters.Take(2, &bytes);
      Raise(OnAudioTest, this, static_cast<int>(static_cast<quint8>(bytes[0])),
            static_cast<int>(static_cast<quint8>(bytes[1])));
      return;
    default:
      return;  // an unknown code is skipped
  }
}

}  // namespace zelvo
