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
  constexpr TDockSet& Include(Enum value) {
    bits_ = static_cast<quint8>(bits_ | Bit(value));
    return *this;
  }
  constexpr bool operator==(const TDockSet&) const = default;

 private:
  static constexpr quint8 Bit(Enum value) { return static_cast<quint8>(1u << static_cast<unsigned>(value)); }
  quint8 bits_ = 0;
};

}  // namespace zelvo
