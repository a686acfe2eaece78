#pragma once
// Finding the IrCOMM virtual serial port, and serial port names.
//
// On Windows the values are read (never written) under HKEY_LOCAL_MACHINE. On
// other systems a read-only INI mirror stands in for that hive; a mirror set
// by the program (a serial-only system, tests) stands in for it everywhere.
// The mirror has one section per key path, one line per value, plus a [Ports]
// table from port numbers to device paths:
//
//   [Software\Microsoft\Windows\CurrentVersion]
//   Version=4.0
//   [Enum\Infrared\com\Root&Infrared&0000]
//   PortName=COM4
//   [Software\PIE_IrDA Infrared\1.0\Parameters]
//   IrComm=COM5
//   [Ports]
//   COM4=/dev/ttyIr0
//
// Section and value names compare without regard to case, as in the
// registry; a "HKEY_LOCAL_MACHINE\" prefix on a section is allowed. Values may
// be quoted. A missing file, key or value reads as an empty text. Every lookup
// reads the file afresh, so a mirror installed later is seen at once.

#include <QByteArray>
#include <QList>
#include <QString>

namespace zelvo {

inline constexpr const char* kDefaultRegistryMirror = "/etc/zelvoflash/registry.ini";

// A mirror's text, parsed: the values of its sections, in the order they
// stand. The lookups below read the file into one and ask it.
class RegistryMirror {
 public:
  // Any text parses (UTF-8, LF or CR LF line ends): lines that are neither a
  // section, a value in a section nor a comment are ignored.
  static RegistryMirror Parse(const QByteArray& text);
  // The file's text parsed, its first kMaxBytes at most; a missing or
  // unreadable file, or one that is not a plain file (a device, a FIFO), is
  // an empty mirror.
  static constexpr qint64 kMaxBytes = 1 << 20;
  static RegistryMirror Read(const QString& path);

  // A value; empty when absent. When a key or value is there twice, the first
  // line naming the value answers.
  QString Value(const QString& keyPath, const QString& valueName) const;
  // The IrCOMM port number this mirror records (FindIrCommPort's rule), or 0.
  int IrCommPort() const;
  // Device name of serial port number (1-based) by the mirror's [Ports] table
  // (SerialPortName's rule off Windows).
  QString SerialPortName(int number) const;

 private:
  struct Entry {
    QString section;  // without a hive prefix and outer backslashes
    QString name;
    QString value;
  };
  QList<Entry> entries_;
};

// The mirror file in use: the one set, else the platform's default (none on
// Windows, where the registry itself is read). Setting empty goes back to the
// default.
QString RegistryMirrorPath();
void SetRegistryMirrorPath(const QString& path);

// Where the IrCOMM port is recorded, for messages: "the registry", or "the
// registry mirror PATH" when a mirror is in use.
QString IrCommPortSource();

// A string value under HKEY_LOCAL_MACHINE (or its mirror); empty when absent.
QString ReadMachineString(const QString& keyPath, const QString& valueName);

// 4..8 for the first of "COM4".."COM8" that contains portName; 0 for none
// (an empty name matches none).
int IrCommPortFromName(const QString& portName);

// The IrCOMM virtual port number recorded by the infrared stack, or 0.
int FindIrCommPort();

// Device name of serial port number (1-based): the mirror's [Ports] entry
// "COMN" (or "N") when a mirror is in use, else the platform's name for it.
QString SerialPortName(int number);

// The platform's side (IrCommPortWindows.cpp, IrCommPortPosix.cpp).
// The mirror used when none is set: empty on Windows.
QString DefaultRegistryMirror();
// A string value under HKEY_LOCAL_MACHINE, read only; empty when absent, and
// always empty where there is no registry.
QString ReadRegistryString(const QString& keyPath, const QString& valueName);
// The platform's name of serial port number (1-based): "COMN" on Windows,
// /dev/ttyS(N-1) elsewhere.
QString NativeSerialPortName(int number);

}  // namespace zelvo
