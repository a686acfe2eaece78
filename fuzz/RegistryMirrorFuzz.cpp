// The registry mirror (the INI file standing in for HKEY_LOCAL_MACHINE): the
// IrCOMM port lookup and the serial port names read from arbitrary text, and
// the mirror a serial-only system writes read back.
//
// Input: one byte choosing a device name for the serial-only system, then the
// mirror's text. Checked: the IrCOMM port is 0 or 4..8; every value read is a
// piece of one line of the file; a port name is never empty; and a mirror
// written for a device names that device as the IrCOMM port.

#include <QList>
#include <QPair>

#include "FuzzSupport.h"
#include "link/IrCommPort.h"
#include "link/SerialOnlySystem.h"

using namespace zelvo;

namespace {

// The values the program reads, and a few more of the port table.
const QList<QPair<QString, QString>> kValues = {
    {QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion"), QStringLiteral("Version")},
    {QStringLiteral("Enum\\Infrared\\com\\Root&Infrared&0000"), QStringLiteral("PortName")},
    {QStringLiteral("Software\\PIE_IrDA Infrared\\1.0\\Parameters"), QStringLiteral("IrComm")},
    {QStringLiteral("Ports"), QStringLiteral("COM4")},
    {QStringLiteral("HKEY_LOCAL_MACHINE\\Ports\\"), QStringLiteral("4")},
};

void CheckLookups(const QByteArray& text) {
  const QString whole = QString::fromUtf8(text);
  for (const auto& [key, name] : kValues) {
    const QString value = ReadMachineString(key, name);
    ZELVO_FUZZ_CHECK(value.isEmpty() || whole.contains(value));
  }
  const int port = FindIrCommPort();
  ZELVO_FUZZ_CHECK(port == 0 || (port >= 4 && port <= 8));
  for (int number : {-1, 0, 1, 4, 9}) {
    const QString name = SerialPortName(number);
    ZELVO_FUZZ_CHECK(number < 1 ? name.isEmpty() : !name.isEmpty());
  }
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

  SetRegistryMirrorPath(fuzz::ScratchFile(QStringLiteral("registry.ini"), text));
  CheckLookups(text);
  CheckSerialOnlySystem(device);
  return 0;
}
