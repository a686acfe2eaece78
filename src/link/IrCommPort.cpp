#include "link/IrCommPort.h"

#include <QFile>
#include <QFileInfo>
#include <QStringTokenizer>

namespace zelvo {

namespace {

QString g_mirrorPath;

QStringView NormalizeSection(QStringView section) {
  section = section.trimmed();
  for (const char* prefix : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
    if (section.startsWith(QLatin1String(prefix), Qt::CaseInsensitive)) {
      section = section.sliced(static_cast<qsizetype>(qstrlen(prefix)));
      break;
    }
  }
  while (section.startsWith(QLatin1Char('\\'))) section = section.sliced(1);
  while (section.endsWith(QLatin1Char('\\'))) section.chop(1);
  return section;
}

QStringView Unquoted(QStringView text) {
  if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"')))
    text = text.sliced(1, text.size() - 2);
  return text;
}

// The port the infrared stack recorded, read through read(keyPath, valueName):
// a system that carries a Windows version keeps it under the infrared device's
// enumeration key, otherwise the PIE stack keeps it in its parameters.
template <typename Read>
int RecordedIrCommPort(const Read& read) {
  QString port;
  if (!read(QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion"), QStringLiteral("Version")).isEmpty())
    port = read(QStringLiteral("Enum\\Infrared\\com\\Root&Infrared&0000"), QStringLiteral("PortName"));
  else
    port = read(QStringLiteral("Software\\PIE_IrDA Infrared\\1.0\\Parameters"), QStringLiteral("IrComm"));
  return IrCommPortFromName(port);
}

}  // namespace

RegistryMirror RegistryMirror::Parse(const QByteArray& text) {
  RegistryMirror mirror;
  const QString decoded = QString::fromUtf8(text);
  bool inSection = false;
  QString section;
  for (QStringView line : QStringView(decoded).tokenize(QLatin1Char('\n'))) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#'))) continue;
    if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
      section = NormalizeSection(line.sliced(1, line.size() - 2)).toString();
      inSection = true;
      continue;
    }
    if (!inSection) continue;
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0) continue;
    mirror.entries_.append({section, Unquoted(line.first(eq).trimmed()).toString(),
                            Unquoted(line.sliced(eq + 1).trimmed()).toString()});
  }
  return mirror;
}

RegistryMirror RegistryMirror::Read(const QString& path) {
  QFile file(path);
  if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) return {};
  return Parse(file.read(kMaxBytes));
}

QString RegistryMirror::Value(const QString& keyPath, const QString& valueName) const {
  const QStringView wanted = NormalizeSection(keyPath);
  for (const Entry& entry : entries_)
    if (entry.section.compare(wanted, Qt::CaseInsensitive) == 0 &&
        entry.name.compare(valueName, Qt::CaseInsensitive) == 0)
      return entry.value;
  return {};
}

int RegistryMirror::IrCommPort() const {
  return RecordedIrCommPort([this](const QString& keyPath, const QString& valueName) { return Value(keyPath, valueName); });
}

QString RegistryMirror::SerialPortName(int number) const {
  if (number < 1) return {};
  QString path = Value(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(number));
  if (path.isEmpty()) path = Value(QStringLiteral("Ports"), QString::number(number));
  if (!path.isEmpty()) return path;
  return NativeSerialPortName(number);
}

QString RegistryMirrorPath() { return g_mirrorPath.isEmpty() ? DefaultRegistryMirror() : g_mirrorPath; }

void SetRegistryMirrorPath(const QString& path) { g_mirrorPath = path; }

QString IrCommPortSource() {
  const QString mirror = RegistryMirrorPath();
  return mirror.isEmpty() ? QStringLiteral("the registry") : QStringLiteral("the registry mirror ") + mirror;
}

QString ReadMachineString(const QString& keyPath, const QString& valueName) {
  const QString mirror = RegistryMirrorPath();
  return mirror.isEmpty() ? ReadRegistryString(keyPath, valueName) : RegistryMirror::Read(mirror).Value(keyPath, valueName);
}

int IrCommPortFromName(const QString& portName) {
  if (portName.isEmpty()) return 0;
  for (int n = 4; n <= 8; ++n)
    if (QStringLiteral("COM%1").arg(n).contains(portName)) return n;
  return 0;
}

int FindIrCommPort() {
  const QString mirror = RegistryMirrorPath();
  if (!mirror.isEmpty()) return RegistryMirror::Read(mirror).IrCommPort();
  return RecordedIrCommPort(ReadRegistryString);
}

QString SerialPortName(int number) {
  const QString mirror = RegistryMirrorPath();
  if (number < 1) return {};
  return mirror.isEmpty() ? NativeSerialPortName(number) : RegistryMirror::Read(mirror).SerialPortName(number);
}

}  // namespace zelvo
