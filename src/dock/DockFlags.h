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
