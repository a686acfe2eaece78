#pragma once
// What the dock models share beyond the protocol, written once over their
// own types:
//
//   TTypedDock       the dock state ("7") and test result ("3") as the
//                    model's enumerations, with their events
//   TMultiGasDock    the later models (multi-port, Kova6): a gas reading of
//                    several bytes ("9", reversed), a span calibration with
//                    the sensors it concerns ("B" + cause + sensor set), and
//                    debug events for the data channel; each model adds its
//                    other codes ("A", "E") in HandleOwnEvent.

#include <array>
#include <cstddef>
#include <functional>

#include "dock/DockFlags.h"
#include "dock/DockProtocol.h"

namespace zelvo {

template <class DockStateT, class TestResultT>
class TTypedDock : public TDockProtocol {
 public:
  using TDockState = DockStateT;
  using TTestResult = TestResultT;
  using TTestResultEvent = std::function<void(QObject* sender, TTestResult testResult)>;
  using TStateChange = std::function<void(QObject* sender, TDockState state)>;

  TDockState DockState() const { return static_cast<TDockState>(dockState_); }
  void SetDockState(TDockState state) { dockState_ = static_cast<quint8>(state); }
  TTestResult TestResult() const { return static_cast<TTestResult>(testResult_); }
  void SetTestResult(TTestResult result) { testResult_ = static_cast<quint8>(result); }

  TTestResultEvent OnTestCompleted;
  TStateChange OnStateChange;

 protected:
  using TDockProtocol::TDockProtocol;

  bool RaiseTestCompleted(quint8 result) override { return RaiseAs<TTestResult>(OnTestCompleted, result); }
  bool RaiseStateChange(quint8 state) override { return RaiseAs<TDockState>(OnStateChange, state); }
};

template <class DockStateT, class TestResultT, class SensorSlotT, std::size_t ReadingSize>
class TMultiGasDock : public TTypedDock<DockStateT, TestResultT> {
 public:
  using TSensorSlot = SensorSlotT;
  using TSensorFlags = TDockSet<TSensorSlot>;
  using TSpanCalDueTo = zelvo::TSpanCalDueTo;
  // A gas reading as the dock reports it, its bytes reversed; passed on
  // without being read.
  struct TGasReading {
    std::array<quint8, ReadingSize> bytes{};
  };
  using TGotGasReading = std::function<void(QObject* sender, const TGasReading& reading)>;
  using TOnSpanCalibration = std::function<void(QObject* sender, TSpanCalDueTo cause, TSensorFlags sensors)>;

  TGotGasReading OnGotGasReading;
  TOnSpanCalibration OnSpanCalibration;
  // Every message sent on the data channel; every arrival on the TCP data
  // connection, before the size rule.
  TUserData OnDebugRcvUserData;
  TUserData OnDebugSndUserData;

 protected:
  using TTypedDock<DockStateT, TestResultT>::TTypedDock;

  // The model's codes other than "9" and "B".
  virtual qsizetype OwnReportLength(char code, QByteArrayView following) const = 0;
  virtual void HandleOwnEvent(char code, EventParameters& parameters) = 0;

  qsizetype ModelReportLength(char code, QByteArrayView following) const override {
    if (code == '9') return static_cast<qsizetype>(ReadingSize);
    if (code == 'B') return 2;
    return OwnReportLength(code, following);
  }
  void HandleModelEvent(char code, EventParameters& parameters) override {
    if (code == '9') {
      TGasReading reading;
      parameters.TakeReversed(&reading.bytes);
      Raise(OnGotGasReading, this, reading);
      return;
    }
    if (code == 'B') {
      quint8 cause = 0, sensors = 0;
      parameters.TakeByte(&cause);
      parameters.TakeByte(&sensors);
      this->spanCalCause_ = cause;
      Raise(OnSpanCalibration, this, static_cast<TSpanCalDueTo>(cause), TSensorFlags::FromByte(sensors));
      return;
    }
    HandleOwnEvent(code, parameters);
  }
  void RaiseDebugRcvUserData(const QByteArray& data) override { Raise(OnDebugRcvUserData, this, data); }
  void RaiseDebugSndUserData(const QByteArray& data) override { Raise(OnDebugSndUserData, this, data); }
};

}  // namespace zelvo
