// The registry mirror (the INI text standing in for HKEY_LOCAL_MACHINE): the
// IrCOMM port lookup and the serial port names read from arbitrary text, and
// the mirror a serial-only system writes read back.
//
// Input: one byte choosing a device name for the serial-only system, then the
// mirror's text. Checked, on the text parsed in memory: the IrCOMM port is 0
// or 4..8; every value read is a piece of one line of the text; a port name is
// never empty; and the mirror a serial-only system writes for a device names
// that device as the IrCOMM port.
//
// The lookups the program makes go through the mirror file, and a serial-only
// system writes a file of its own and installs it. Those are file-system work
// (a temporary file made, written, read back and removed) costing some thirty
// inputs parsed in memory, so only one input in kFileRoundOneIn takes that
// round: the text written as the mirror file gives the same answers as in
// memory, and the serial-only system's file names its device and is uninstalled
// with the system. Which inputs take it depends on the input alone, so a
// failure comes back when the input is replayed.

#include <QList>
#include <QPair>

#include "FuzzSupport.h"
#include "link/IrCommPort.h"
#include "link/SerialOnlySystem.h"

using namespace zelvo;

namespace {

constexpr unsigned kFileRoundOneIn = 1024;

// The values the program reads, and a few more of the port table.
const QList<QPair<QString, QString>> kValues = {
    {QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion"), QStringLiteral("Version")},
    {QStringLiteral("Enum\\Infrared\\com\\Root&Infrared&0000"), QStringLiteral("PortName")},
    {QStringLiteral("Software\\PIE_IrDA Infrared\\1.0\\Parameters"), QStringLiteral("IrComm")},
    {QStringLiteral("Ports"), QStringLiteral("COM4")},
    {QStringLiteral("HKEY_LOCAL_MACHINE\\Ports\\"), QStringLiteral("4")},
};
const int kPortNumbers[] = {-1, 0, 1, 4, 9};

void CheckLookups(const RegistryMirror& mirror, const QByteArray& text) {
  const QString whole = QString::fromUtf8(text);
  for (const auto& [key, name] : kValues) {
    const QString value = mirror.Value(key, name);
    ZELVO_FUZZ_CHECK(value.isEmpty() || whole.contains(value));
  }
  const int port = mirror.IrCommPort();
  ZELVO_FUZZ_CHECK(port == 0 || (port >= 4 && port <= 8));
  for (int number : kPortNumbers) {
    const QString name = mirror.SerialPortName(number);
    ZELVO_FUZZ_CHECK(number < 1 ? name.isEmpty() : !name.isEmpty());
  }
}

// The program's lookups, through the mirror file holding text.
void CheckMirrorFile(const RegistryMirror& mirror, const QByteArray& text) {
  SetRegistryMirrorPath(fuzz::ScratchFile(QStringLiteral("registry.ini"), text));
  for (const auto& [key, name] : kValues) ZELVO_FUZZ_CHECK(ReadMachineString(key, name) == mirror.Value(key, name));
  ZELVO_FUZZ_CHECK(FindIrCommPort() == mirror.IrCommPort());
  for (int number : kPortNumbers) ZELVO_FUZZ_CHECK(SerialPortName(number) == mirror.SerialPortName(number));
}

// A device name the mirror can carry: one line, no blanks or quotes at its
// ends (the reader trims and unquotes values), not a COMn name (those are
// looked up first).
QString DeviceName(const QByteArray& bytes) {
  QString name = QStringLiteral("/dev/");
  for (char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 0x7F && c != '"') name += QLatin1Char(c);
  }
  return name;
}

void CheckSerialOnlyMirror(const QString& device) {
  const RegistryMirror mirror = RegistryMirror::Parse(SerialOnlySystem::MirrorText(device));
  ZELVO_FUZZ_CHECK(mirror.IrCommPort() == 4);
  ZELVO_FUZZ_CHECK(mirror.SerialPortName(4) == device);
}

void CheckSerialOnlySystem(const QString& device) {
  const QString previous = RegistryMirrorPath();
  {
    SerialOnlySystem system;
    QString error;
    ZELVO_FUZZ_CHECK(system.Install(device, &error));
    ZELVO_FUZZ_CHECK(FindIrCommPort() == 4);
    ZELVO_FUZZ_CHECK(SerialPortName(4) == device);
  }
  ZELVO_FUZZ_CHECK(RegistryMirrorPath() == previous);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Application();
  fuzz::Input in(data, size);
  const QString device = DeviceName(in.Piece().left(32));
  const QByteArray text = in.Rest();

  const RegistryMirror mirror = RegistryMirror::Parse(text);
  CheckLookups(mirror, text);
  CheckSerialOnlyMirror(device);
  if (fuzz::OneIn(kFileRoundOneIn, data, size)) {
    CheckMirrorFile(mirror, text);
    CheckSerialOnlySystem(device);
  }
  return 0;
}
