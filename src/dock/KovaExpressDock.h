#pragma once
// TKovaExpressDock: the Kova Express docking station, over USB (device kind
// tpKovaExpress) or over TCP (control port 5000, data port 5001).
//
// Its own event codes, besides the shared ones ("0" pump low flow, "1"
// instrument connected, "2" instrument disconnected, "3" test completed + 1
// byte, "4" in range, "5" removed, "6" failed to connect, "7" state + 1 byte,
// "8" length + message, "C" multiple TCP connections, "D" e-mail + 1 byte):
//   "9" + 2 bytes   gas reading, big-endian signed
//   "B" + 1 byte    span calibration cause
//   "E" + 2 bytes   audio test: low and peak dB, unsigned
// It writes debug lines through OnDebugRcvControlData (commands sent, some
// events, SendStr results) and has the "PSS" command.
//
// Published events, in declaration order: OnGotGasReading, OnAudioTest,
// OnPumpLowFlow, OnDeviceInRange, OnDeviceRemoved, OnFailedToConnect,
// OnTestCompleted, OnStateChange, OnInstrumentConnected,
// OnInstrumentDisconnected, OnRcvUserData, OnDebugMessage, OnSpanCalibration,
// OnEmailDelivered, OnCmdTimeOut, OnDebugRcvControlData, OnDebugSndControlData,
// OnFlashProgress, OnTCPError, OnTCPConnected, OnTCPClosed,
// OnMultipleTCPConnections (the shared ones are declared in TDockProtocol and
// TTypedDock).

#include "dock/DockFlags.h"
#include "dock/TypedDock.h"

// NO_ERROR is a macro of the Windows headers; the name belongs to the enumeration here.
#pragma push_macro("NO_ERROR")
#undef NO_ERROR

namespace zelvo {

namespace kova_express {
enum class TDockState : quint8 {
  Cmd_Enq, Cmd_Who, Cmd_Ver, Cmd_BatVoltage, Cmd_Alm, Cmd_AlmTest, Cmd_Stb, Cmd_Vib, Cmd_CheckZero,
  Cmd_Zero, Cmd_Zeroing, Cmd_SetClock, Cmd_WaitForGas, Cmd_BumpStart, Cmd_Bumping, Cmd_GetGasRead,
  Cmd_UnitEE, Cmd_SensorEE, Cmd_SensorEE_2, Cmd_Span, Cmd_Spanning, Cmd_UpdtFullCallDate, Cmd_Purge,
  Cmd_Disc, Cmd_GetSecCounter, Cmd_WSensorEE
};
enum class TTestResult : quint8 {
  NO_ERROR, WRONG_GAS, WRONG_INST, NO_GAS, FAILED_ZERO, LOW_FLOW, SENSOR_NOT_SUP, COMM_ERROR,
  WRONG_VERSION, ABORTED_BY_PC, BAD_INST_SERIAL, WRONG_PIN, LOW_GAS, DEAD_BAT
};
}  // namespace kova_express

class TKovaExpressDock : public TTypedDock<kova_express::TDockState, kova_express::TTestResult> {
 public:
  using TSpanCalDueTo = zelvo::TSpanCalDueTo;

  using TGotZelvoGasReading = std::function<void(QObject* sender, qint16 gasReading)>;
  using TOnAudioTest = std::function<void(QObject* sender, int lowAudioDB, int peakAudioDB)>;
  using TOnSpanCalibration = std::function<void(QObject* sender, TSpanCalDueTo cause)>;

  static const DockModel kModel;
  static constexpr int kUsbDeviceType = tpKovaExpress;

  explicit TKovaExpressDock(QObject* owner = nullptr);

  // "Cmd_Enq" .. "Cmd_WSensorEE"; empty outside the enumeration.
  static QString DockStateName(quint8 state);

  TGotZelvoGasReading OnGotGasReading;
  TOnAudioTest OnAudioTest;
  TOnSpanCalibration OnSpanCalibration;

  // Test flags (read-only)
  ZELVO_DOCK_PASS_FAIL_FLAGS(testFlags_)
  // Instrument flags (read-only)
  ZELVO_DOCK_FLAG_RO(VibratorInstalled, instrumentFlags_, 1u << 7)
  // Gases supported
  ZELVO_DOCK_GAS_FLAGS(gasSupport_)
  // Dock options, counted from the top bit
  ZELVO_DOCK_FLAG_RO(EthernetInstalled, dockOptions_, 0x80000000u >> 2)
  ZELVO_DOCK_FLAG(UseDHCP, dockOptions_, 0x80000000u >> 3)
  ZELVO_DOCK_FLAG(WritePIN, dockOptions_, 0x80000000u >> 4)
  ZELVO_DOCK_FLAG(CheckPIN, dockOptions_, 0x80000000u >> 5)
  ZELVO_DOCK_FLAG(CheckForInstRemoved, dockOptions_, 0x80000000u >> 6)
  ZELVO_DOCK_FLAG(UseCal_Interval, dockOptions_, 0x80000000u >> 7)
  ZELVO_DOCK_FLAG(Enable_Emailing, dockOptions_, 0x80000000u >> 8)
  ZELVO_DOCK_FLAG(Enable_O2Bump, dockOptions_, 0x80000000u >> 9)
  ZELVO_DOCK_FLAG(Slow9600, dockOptions_, 0x80000000u >> 10)
  ZELVO_DOCK_FLAG(VerboseMode, dockOptions_, 0x80000000u >> 11)

  // The four flag fields, as the dock keeps them.
  quint32 GasSupportField() const { return gasSupport_; }
  quint32 DockOptionsField() const { return dockOptions_; }
  quint8 InstrumentFlagsField() const { return static_cast<quint8>(instrumentFlags_); }
  quint8 TestFlagsField() const { return static_cast<quint8>(testFlags_); }

 protected:
  qsizetype ModelReportLength(char code, QByteArrayView following) const override;
  void HandleModelEvent(char code, EventParameters& parameters) override;
  QString StateName(quint8 state) const override;
};

}  // namespace zelvo

#pragma pop_macro("NO_ERROR")
