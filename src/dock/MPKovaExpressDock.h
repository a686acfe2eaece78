#pragma once
// TMPKovaExpressDock: the multi-port docking station, over USB (device kind
// tpMPKovaExpress) or over TCP (control port 5002, data port 5003).
//
// The protocol is the shared one (TDockProtocol); this model differs in:
//   - enabling over TCP connects control then data and waits 50 x 100 ms for
//     both; disabling closes both at once;
//   - commands write no debug line; over USB a Halted device refuses them
//     ("Cant Send, Usb Device is Halted!", the flag stays set); over TCP they
//     go out without looking at the connections;
//   - slave mode is one "SLV" (or "MST") with nothing expected after "ACK";
//     the link asks once;
//   - no "PSS" command;
//   - events: "9" + 8 bytes, reversed, as a gas reading; "A" device
//     inserted; "B" + cause + sensor set; "E" is not one of its codes; no
//     debug lines for events;
//   - data: OnDebugSndUserData with every message sent, OnDebugRcvUserData
//     with every arrival on the TCP data connection; no "SendStr Result"
//     lines.
//
// The flag properties are bits of the four flag fields (positions are this
// program's own; no command moves them).

#include "dock/TypedDock.h"

// NO_ERROR is a macro of the Windows headers; the name belongs to the enumeration here.
#pragma push_macro("NO_ERROR")
#undef NO_ERROR

namespace zelvo {

namespace mp_kova_express {
enum class TSensorSlot : quint8 { LEL_SENSOR, TOX1_SENSOR, TOX2_SENSOR, O2_SENSOR };
enum class TTestResult : quint8 {
  NO_ERROR, WRONG_GAS, WRONG_INST, NO_GAS, FAILED_ZERO, LOW_FLOW, SENSOR_NOT_SUP, COMM_ERROR,
  WRONG_VERSION, ABORTED_BY_PC, BAD_INST_SERIAL, LOW_BAT_ERROR, O2_NEEDS_NITROGEN_CAL, INST_NOT_INSERTED
};
enum class TDockState : quint8 {
  Cmd_Enq, Cmd_Who, Cmd_Ver, Cmd_BatVoltage, Cmd_Alm, Cmd_AlmTest, Cmd_Stb, Cmd_Vib, Cmd_CheckZero,
  Cmd_Zero, Cmd_Zeroing, Cmd_SetClock, Cmd_WaitForGas, Cmd_BumpStart, Cmd_Bumping, Cmd_GetGasRead,
  Cmd_UnitEE, Cmd_O2SensorEE, Cmd_LelSensorEE, Cmd_Tox1SensorEE, Cmd_Tox2SensorEE, Cmd_O2SensorEE_2,
  Cmd_LelSensorEE_2, Cmd_Tox1SensorEE_2, Cmd_Tox2SensorEE_2, Cmd_Span, Cmd_Spanning, Cmd_UpdtFullCallDate,
  Cmd_Purge, Cmd_Disc, Cmd_EnableGasReadings, Cmd_WLelSensorEE, Cmd_WTox1SensorEE, Cmd_WTox2SensorEE,
  Cmd_StartPump, Cmd_Alm2
};
}  // namespace mp_kova_express

class TMPKovaExpressDock : public TMultiGasDock<mp_kova_express::TDockState, mp_kova_express::TTestResult,
                                                mp_kova_express::TSensorSlot, 8> {
 public:
  static const DockModel kModel;
  static constexpr int kUsbDeviceType = tpMPKovaExpress;

  explicit TMPKovaExpressDock(QObject* owner = nullptr);

  // One "SLV" (slave) or "MST"; the command's result. retry stays false.
  bool SetSlaveMode(bool slave, bool& retry) override;

  TNotifyEvent OnDeviceInserted;

  // Instrument flags (read-only)
  ZELVO_DOCK_FLAG_RO(PumpInstalled, instrumentFlags_, 1u << 7)
  ZELVO_DOCK_FLAG_RO(VibratorInstalled, instrumentFlags_, 1u << 6)
  ZELVO_DOCK_FLAG_RO(O2Installed, instrumentFlags_, 1u << 5)
  ZELVO_DOCK_FLAG_RO(LelInstalled, instrumentFlags_, 1u << 4)
  ZELVO_DOCK_FLAG_RO(Tox1Installed, instrumentFlags_, 1u << 3)
  ZELVO_DOCK_FLAG_RO(Tox2Installed, instrumentFlags_, 1u << 2)
  // Test flags (read-only)
  ZELVO_DOCK_FLAG_RO(LelSpanFailed, testFlags_, 1u << 11)
  ZELVO_DOCK_FLAG_RO(Tox1SpanFailed, testFlags_, 1u << 10)
  ZELVO_DOCK_FLAG_RO(Tox2SpanFailed, testFlags_, 1u << 9)
  ZELVO_DOCK_FLAG_RO(PassFailO2FailedBump, testFlags_, 1u << 8)
  ZELVO_DOCK_PASS_FAIL_FLAGS(testFlags_)
  // Dock options, counted from the top bit
  ZELVO_DOCK_FLAG(ResumeInstrumentOFF, dockOptions_, 0x80000000u >> 0)
  ZELVO_DOCK_FLAG(ResumeInstrumentON, dockOptions_, 0x80000000u >> 1)
  ZELVO_DOCK_FLAG_RO(EthernetInstalled, dockOptions_, 0x80000000u >> 2)
  ZELVO_DOCK_FLAG(UseDHCP, dockOptions_, 0x80000000u >> 3)
  ZELVO_DOCK_FLAG(WritePIN, dockOptions_, 0x80000000u >> 4)
  ZELVO_DOCK_FLAG(CheckPIN, dockOptions_, 0x80000000u >> 5)
  ZELVO_DOCK_FLAG(UseCal_Interval, dockOptions_, 0x80000000u >> 7)
  ZELVO_DOCK_FLAG(Enable_Emailing, dockOptions_, 0x80000000u >> 8)
  ZELVO_DOCK_FLAG(Enable_BootGasPreload, dockOptions_, 0x80000000u >> 9)
  // Gases supported
  ZELVO_DOCK_GAS_FLAGS(gasSupport_)
  ZELVO_DOCK_FLAG(LEL_Supported, gasSupport_, 1u << 13)

  // The four flag fields, as the dock keeps them.
  quint32 GasSupportField() const { return gasSupport_; }
  quint32 DockOptionsField() const { return dockOptions_; }
  quint32 InstrumentFlagsField() const { return instrumentFlags_; }
  quint32 TestFlagsField() const { return testFlags_; }

 protected:
  qsizetype OwnReportLength(char, QByteArrayView) const override { return 0; }  // "A" has none
  void HandleOwnEvent(char code, EventParameters& parameters) override;
};

}  // namespace zelvo

#pragma pop_macro("NO_ERROR")
