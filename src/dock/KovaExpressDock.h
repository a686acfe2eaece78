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
// OnMultipleTCPConnections (the shared ones are declared in TDockProtocol).

#include "dock/DockFlags.h"
#include "dock/DockProtocol.h"

// NO_ERROR is a macro of the Windows headers; the name belongs to the enumeration here.
#pragma push_macro("NO_ERROR")
#undef NO_ERROR

namespace zelvo {

class TKovaExpressDock : public TDockProtocol {
 public:
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
  using TSpanCalDueTo = zelvo::TSpanCalDueTo;

  using TGotZelvoGasReading = std::function<void(QObject* sender, qint16 gasReading)>;
  using TOnAudioTest = std::function<void(QObject* sender, int lowAudioDB, int peakAudioDB)>;
  using TTestResultEvent = std::function<void(QObject* sender, TTestResult testResult)>;
  using TStateChange = std::function<void(QObject* sender, TDockState state)>;
  using TOnSpanCalibration = std::function<void(QObject* sender, TSpanCalDueTo cause)>;

  static const DockModel kModel;
  static constexpr int kUsbDeviceType = tpKovaExpress;

  explicit TKovaExpressDock(QObject* owner = nullptr);

  TDockState DockState() const { return static_cast<TDockState>(dockState_); }
  void SetDockState(TDockState state) { dockState_ = static_cast<quint8>(state); }
  TTestResult TestResult() const { return static_cast<TTestResult>(testResult_); }
  void SetTestResult(TTestResult result) { testResult_ = static_cast<quint8>(result); }
  // "Cmd_Enq" .. "Cmd_WSensorEE"; empty outside the enumeration.
  static QString DockStateName(quint8 state);

  TGotZelvoGasReading OnGotGasReading;
  TOnAudioTest OnAudioTest;
  TTestResultEvent OnTestCompleted;
  TStateChange OnStateChange;
  TOnSpanCalibration OnSpanCalibration;

  // Test flags (read-only)
  ZELVO_DOCK_FLAG_RO(PassFailGlobal, testFlags_, 1u << 7)
  ZELVO_DOCK_FLAG_RO(PassFailAudio, testFlags_, 1u << 6)
  ZELVO_DOCK_FLAG_RO(PassFailVibrator, testFlags_, 1u << 5)
  ZELVO_DOCK_FLAG_RO(PassFailVisual, testFlags_, 1u << 4)
  ZELVO_DOCK_FLAG_RO(PassFailBump, testFlags_, 1u << 3)
  ZELVO_DOCK_FLAG_RO(PassFailZero, testFlags_, 1u << 2)
  ZELVO_DOCK_FLAG_RO(PassFailSpannedAndFailed, testFlags_, 1u << 1)
  ZELVO_DOCK_FLAG_RO(PassFailSpannedAndPassed, testFlags_, 1u << 0)
  // Instrument flags (read-only)
  ZELVO_DOCK_FLAG_RO(VibratorInstalled, instrumentFlags_, 1u << 7)
  // Gases supported
  ZELVO_DOCK_FLAG(O2_Supported, gasSupport_, 1u << 0)
  ZELVO_DOCK_FLAG(CO_Supported, gasSupport_, 1u << 1)
  ZELVO_DOCK_FLAG(H2S_Supported, gasSupport_, 1u << 2)
  ZELVO_DOCK_FLAG(SO2_Supported, gasSupport_, 1u << 3)
  ZELVO_DOCK_FLAG(CO_Minus_Supported, gasSupport_, 1u << 4)
  ZELVO_DOCK_FLAG(CL2_Supported, gasSupport_, 1u << 5)
  ZELVO_DOCK_FLAG(CLO2_Supported, gasSupport_, 1u << 6)
  ZELVO_DOCK_FLAG(NH3_Supported, gasSupport_, 1u << 7)
  ZELVO_DOCK_FLAG(NO2_Supported, gasSupport_, 1u << 8)
  ZELVO_DOCK_FLAG(PH3_Supported, gasSupport_, 1u << 9)
  ZELVO_DOCK_FLAG(HCN_Supported, gasSupport_, 1u << 10)
  ZELVO_DOCK_FLAG(CO_Plus_Supported, gasSupport_, 1u << 11)
  ZELVO_DOCK_FLAG(SO2_High_Supported, gasSupport_, 1u << 12)
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
  bool HandleModelEvent(char code, EventParameters& parameters) override;
  bool RaiseTestCompleted(quint8 result) override;
  bool RaiseStateChange(quint8 state) override;
  QString StateName(quint8 state) const override;
};

}  // namespace zelvo

#pragma pop_macro("NO_ERROR")
