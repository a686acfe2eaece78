#include "link/IrCommPort.h"

#include <QFile>
#include <QSettings>

namespace zelvo {

namespace {

QString g_mirrorPath;

#ifndef _WIN32
QString NormalizeSection(QString section) {
  section = section.trimmed();
  for (const char* prefix : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
    if (section.startsWith(QLatin1String(prefix), Qt::CaseInsensitive)) {
      section = section.mid(static_cast<qsizetype>(qstrlen(prefix)));
      break;
    }
  }
  while (section.startsWith(QLatin1Char('\\'))) section.remove(0, 1);
  while (section.endsWith(QLatin1Char('\\'))) section.chop(1);
  return section;
}

// Looks one value up in the mirror, reading the file afresh.
QString MirrorValue(const QString& section, const QString& name) {
  QFile file(RegistryMirrorPath());
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QString wanted = NormalizeSection(section);
  bool inSection = false;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine(64 * 1024)).trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#'))) continue;
    if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
      inSection = NormalizeSection(line.mid(1, line.size() - 2)).compare(wanted, Qt::CaseInsensitive) == 0;
      continue;
    }
    if (!inSection) continue;
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0) continue;
    QString key = line.left(eq).trimmed();
    if (key.size() >= 2 && key.startsWith(QLatin1Char('"')) && key.endsWith(QLatin1Char('"'))) key = key.mid(1, key.size() - 2);
    if (key.compare(name, Qt::CaseInsensitive) != 0) continue;
    QString value = line.mid(eq + 1).trimmed();
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
      value = value.mid(1, value.size() - 2);
    return value;
  }
  return {};
}
#endif

}  // namespace

QString RegistryMirrorPath() {
  return g_mirrorPath.isEmpty() ? QString::fromLatin1(kDefaultRegistryMirror) : g_mirrorPath;
}

void SetRegistryMirrorPath(const QString& path) { g_mirrorPath = path; }

QString IrCommPortSource() {
#ifdef _WIN32
  return QStringLiteral("the registry");
#else
  return QStringLiteral("the registry mirror ") + RegistryMirrorPath();
#endif
}

QString ReadMachineString(const QString& keyPath, const QString& valueName) {
#ifdef _WIN32
  QSettings key(QStringLiteral("HKEY_LOCAL_MACHINE\\") + keyPath, QSettings::NativeFormat);
  return key.value(valueName).toString();
#else
  return MirrorValue(keyPath, valueName);
#endif
}

int IrCommPortFromName(const QString& portName) {
  if (portName.isEmpty()) return 0;
  for (int n = 4; n <= 8; ++n)
    if (QStringLiteral("COM%1").arg(n).contains(portName)) return n;
  return 0;
}

int FindIrCommPort() {
  QString port;
  if (!ReadMachineString(QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion"), QStringLiteral("Version")).isEmpty())
    port = ReadMachineString(QStringLiteral("Enum\\Infrared\\com\\Root&Infrared&0000"), QStringLiteral("PortName"));
  else
    port = ReadMachineString(QStringLiteral("Software\\PIE_IrDA Infrared\\1.0\\Parameters"), QStringLiteral("IrComm"));
  return IrCommPortFromName(port);
}

QString SerialPortName(int number) {
#ifdef _WIN32
  return QStringLiteral("COM%1").arg(number);
#else
  if (number < 1) return {};
  QString path = MirrorValue(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(number));
  if (path.isEmpty()) path = MirrorValue(QStringLiteral("Ports"), QString::number(number));
  if (!path.isEmpty()) return path;
  return QStringLiteral("/dev/ttyS%1").arg(number - 1);
#endif
}

}  // namespace zelvo
