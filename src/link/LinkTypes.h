#pragma once
// Shared enumerations of the link layer.

#include <QtGlobal>

namespace zelvo {

// Instrument families. The family selects the wire form of a message:
//   framed  (3, 4, 5): start marker, escaped body, end marker; 5 adds a sum,
//   indexed (7, 8):    the message with a message-index character at byte 4,
//   plain   (0, 1, 2, 6): the message as it is.
// Family 1 always talks over the RS-232 port.
enum class TKelType : quint8 {
  tpKel0,
  tpKel1,
  tpKel2,
  tpKel3,
  tpZelvoPro,  // 4
  tpKel5,
  tpKel6,
  tpKel7,
  tpKel8
};

inline int Ordinal(TKelType type) { return static_cast<int>(type); }

// Trace-log state of the serial port.
enum class TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

}  // namespace zelvo
