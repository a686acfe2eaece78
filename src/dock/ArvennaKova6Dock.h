#pragma once
// TArvennaKova6Dock: the Kova6 docking station, over USB (device kind
// tpArvennaKova6) or over TCP (control port 5004, data port 5005).
//
// The protocol is the shared one (TDockProtocol); this model differs in:
//   - enabling over TCP connects control then data and waits 50 x 100 ms for
//     both; disabling closes both at once; disabling (USB or TCP) leaves the
//     command status idle;
//   - commands write no debug line; a command asked for while one is pending
//     shows "Can't Send, Pending Command!"; over USB a Halted device refuses
//     them ("Cant Send, Usb Device is Halted!", the flag stays set); over TCP
//     they go out without looking at the connections;
//   - slave mode as the Kova Express dock's, except that it does not enable
//     the dock itself; the link asks again while it reports busy;
//   - no "PSS" command;
//   - events: "9" + 14 bytes, reversed, as a gas reading; "A" + state digit,
//     device inserted; "B" + cause + sensor set; "E" + "C" or "D" and four
//     hexadecimal digits, battery charging or charged and its voltage; no
//     debug lines for events;
//   - data: OnDebugSndUserData with every message sent, OnDebugRcvUserData
//     with every arrival on the TCP data connection; no "SendStr Result"
//     lines.
//
// The flag properties are bits of the flag fields (positions are this
// program's own; no command moves them).

#include "dock/TypedDock.h"

// NO_ERROR is a macro of the Windows headers; the name belongs to the enumeration here.
#pragma push_macro("NO_ERROR")
#undef NO_ERROR

namespace zelvo {

namespace kova6 {
enum class TSensorSlot : quint8 { S_SLOT_0, S_SLOT_1, S_SLOT_2, S_SLOT_3, S_SLOT_4, S_SLOT_5, S_SLOT_6 };
enum class TTestResult : quint8 {
  NO_ERROR, WRONG_GAS, WRONG_INST, NO_GAS, FAILED_ZERO, LOW_FLOW, SENSOR_NOT_SUP, COMM_ERROR,
  WRONG_VERSION, ABORTED_BY_PC, BAD_INST_SERIAL, LOW_BAT_ERROR, O2_NEEDS_NITROGEN_CAL, INST_NOT_INSERTED,
  WRONG_PIN, PID_LAMP_FAILURE
};
enum class TDockState : quint8 {
  Cmd_Enq, Cmd_Who, Cmd_Ver, Cmd_BatVoltage, Cmd_Alm, Cmd_AlmTest, Cmd_Stb, Cmd_Vib, Cmd_CheckZero,
  Cmd_Zero, Cmd_Zeroing, Cmd_SetClock, Cmd_WaitForGas, Cmd_WaitForNoGas, Cmd_BumpStart, Cmd_Bumping,
  Cmd_GetGasRead, Cmd_UnitEE, Cmd_SensorEE, Cmd_SensorEE_2, Cmd_Span, Cmd_Spanning, Cmd_UpdtFullCallDate,
  Cmd_Purge, Cmd_Disc, Cmd_EnableGasReadings, Cmd_WSensorEE, Cmd_StartPump, Cmd_Alm2, Cmd_UnitEE_2,
  Cmd_WUnitEE, Cmd_GetSTable, Cmd_UpdateT63, Cmd_Visual, Cmd_PIDTest
};
}  // namespace kova6

class TArvennaKova6Dock
    : public TMultiGasDock<kova6::TDockState, kova6::TTestResult, kova6::TSensorSlot, 14> {
 public:
  enum class TInstState : quint8 { IS_WakingUp, IS_Charging, IS_DeadAlkaline };

  using TInstrumentInserted = std::function<void(QObject* sender, TInstState state)>;
  using TOnBatteryStatus = std::function<void(QObject* sender, bool charging, bool charged, quint16 voltage)>;

  static const DockModel kModel;
  static constexpr int kUsbDeviceType = tpArvennaKova6;

  explicit TArvennaKova6Dock(QObject* owner = nullptr);

  // "SLV" or "MST" on a dock that is already enabled; retry when it is not,
  // when it answered busy or when the command failed.
  bool SetSlaveMode(bool slave, bool& retry) override;

  TInstrumentInserted OnDeviceInserted;
  TOnBatteryStatus OnBatteryStatus;

  // Test and instrument flags (read-only)
  ZELVO_DOCK_FLAG_RO(PassFailGlobal, testFlags_, 1u << 7)
  ZELVO_DOCK_FLAG_RO(PassFailAudio, testFlags_, 1u << 6)
  ZELVO_DOCK_FLAG_RO(PassFailVibrator, testFlags_, 1u << 5)
  ZELVO_DOCK_FLAG_RO(PassFailVisual, testFlags_, 1u << 4)
  ZELVO_DOCK_FLAG_RO(PassFailBumpOnly, testFlags_, 1u << 3)
  ZELVO_DOCK_FLAG_RO(PassFailZero, testFlags_, 1u << 2)
  ZELVO_DOCK_FLAG_RO(VibratorInstalled, instrumentFlags_, 1u << 7)
  ZELVO_DOCK_FLAG_RO(PumpInstalled, instrumentFlags_, 1u << 6)
  ZELVO_DOCK_FLAG_RO(RechargeableBattery, instrumentFlags_, 1u << 5)
  // Dock options, counted from the top bit
  ZELVO_DOCK_FLAG(ResumeInstrumentOFF, dockOptions_, 0x80000000u >> 0)
  ZELVO_DOCK_FLAG(ResumeInstrumentON, dockOptions_, 0x80000000u >> 1)
  ZELVO_DOCK_FLAG(EthernetInstalled, dockOptions_, 0x80000000u >> 2)
  ZELVO_DOCK_FLAG(UseDHCP, dockOptions_, 0x80000000u >> 3)
  ZELVO_DOCK_FLAG(WritePIN, dockOptions_, 0x80000000u >> 4)
  ZELVO_DOCK_FLAG(CheckPIN, dockOptions_, 0x80000000u >> 5)
  ZELVO_DOCK_FLAG(UseCal_Interval, dockOptions_, 0x80000000u >> 7)
  ZELVO_DOCK_FLAG(Enable_Emailing, dockOptions_, 0x80000000u >> 8)
  ZELVO_DOCK_FLAG(OptimizeO2Bump, dockOptions_, 0x80000000u >> 9)
  ZELVO_DOCK_FLAG(AirInletIs0Air, dockOptions_, 0x80000000u >> 10)
  ZELVO_DOCK_FLAG(Sol1Installed, dockOptions_, 0x80000000u >> 12)
  ZELVO_DOCK_FLAG(Sol2Installed, dockOptions_, 0x80000000u >> 13)
  ZELVO_DOCK_FLAG(Sol3Installed, dockOptions_, 0x80000000u >> 14)
  ZELVO_DOCK_FLAG(Sol4Installed, dockOptions_, 0x80000000u >> 15)
  ZELVO_DOCK_FLAG(Gas1Enabled, dockOptions_, 0x80000000u >> 16)
  ZELVO_DOCK_FLAG(Gas2Enabled, dockOptions_, 0x80000000u >> 17)
  ZELVO_DOCK_FLAG(Gas3Enabled, dockOptions_, 0x80000000u >> 18)
  ZELVO_DOCK_FLAG(Gas4Enabled, dockOptions_, 0x80000000u >> 19)

  // The flag fields, as the dock keeps them.
  quint32 DockOptionsField() const { return dockOptions_; }
  quint32 InstrumentFlagsField() const { return instrumentFlags_; }
  quint32 TestFlagsField() const { return testFlags_; }

 protected:
  static bool IsBatteryKind(char kind);
  qsizetype OwnReportLength(char code, QByteArrayView following) const override;
  void HandleOwnEvent(char code, EventParameters& parameters) override;
};

}  // namespace zelvo

#pragma pop_macro("NO_ERROR")
