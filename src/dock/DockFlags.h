#pragma once
// Flag properties of the docks: single bits of their flag fields. No command
// sends them to the dock or fetches them; they keep what was set.

// A read-write flag: Name() and SetName(bool), one bit of field.
#define ZELVO_DOCK_FLAG(Name, field, mask)                     \
  bool Name() const { return ((field) & (mask)) != 0; }        \
  void Set##Name(bool value) {                                  \
    if (value)                                                  \
      (field) |= (mask);                                        \
    else                                                        \
      (field) &= ~static_cast<quint32>(mask);                   \
  }

// A read-only flag.
#define ZELVO_DOCK_FLAG_RO(Name, field, mask) \
  bool Name() const { return ((field) & (mask)) != 0; }

// The eight test results of a dock, bits 7 to 0 of field (read-only).
#define ZELVO_DOCK_PASS_FAIL_FLAGS(field)                  \
  ZELVO_DOCK_FLAG_RO(PassFailGlobal, field, 1u << 7)           \
  ZELVO_DOCK_FLAG_RO(PassFailAudio, field, 1u << 6)            \
  ZELVO_DOCK_FLAG_RO(PassFailVibrator, field, 1u << 5)         \
  ZELVO_DOCK_FLAG_RO(PassFailVisual, field, 1u << 4)           \
  ZELVO_DOCK_FLAG_RO(PassFailBump, field, 1u << 3)             \
  ZELVO_DOCK_FLAG_RO(PassFailZero, field, 1u << 2)             \
  ZELVO_DOCK_FLAG_RO(PassFailSpannedAndFailed, field, 1u << 1) \
  ZELVO_DOCK_FLAG_RO(PassFailSpannedAndPassed, field, 1u << 0)

// The gases a dock supports, bits 0 to 12 of field (read-write).
#define ZELVO_DOCK_GAS_FLAGS(field)                 \
  ZELVO_DOCK_FLAG(O2_Supported, field, 1u << 0)       \
  ZELVO_DOCK_FLAG(CO_Supported, field, 1u << 1)       \
  ZELVO_DOCK_FLAG(H2S_Supported, field, 1u << 2)      \
  ZELVO_DOCK_FLAG(SO2_Supported, field, 1u << 3)      \
  ZELVO_DOCK_FLAG(CO_Minus_Supported, field, 1u << 4) \
  ZELVO_DOCK_FLAG(CL2_Supported, field, 1u << 5)      \
  ZELVO_DOCK_FLAG(CLO2_Supported, field, 1u << 6)     \
  ZELVO_DOCK_FLAG(NH3_Supported, field, 1u << 7)      \
  ZELVO_DOCK_FLAG(NO2_Supported, field, 1u << 8)      \
  ZELVO_DOCK_FLAG(PH3_Supported, field, 1u << 9)      \
  ZELVO_DOCK_FLAG(HCN_Supported, field, 1u << 10)     \
  ZELVO_DOCK_FLAG(CO_Plus_Supported, field, 1u << 11) \
  ZELVO_DOCK_FLAG(SO2_High_Supported, field, 1u << 12)

#include <QtGlobal>

namespace zelvo {

// A set of a small enumeration (up to 8 values), one byte on the wire: the
// value with ordinal n is bit n.
template <class Enum>
class TDockSet {
 public:
  constexpr TDockSet() = default;
  static constexpr TDockSet FromByte(quint8 bits) {
    TDockSet set;
    set.bits_ = bits;
    return set;
  }
  constexpr quint8 Byte() const { return bits_; }
  constexpr bool Contains(Enum value) const { return (bits_ & Bit(value)) != 0; }

 private:
  static constexpr quint8 Bit(Enum value) { return static_cast<quint8>(1u << static_cast<unsigned>(value)); }
  quint8 bits_ = 0;
};

}  // namespace zelvo
