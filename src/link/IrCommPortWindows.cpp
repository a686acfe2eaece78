// The IrCOMM port lookup on Windows: the registry itself, read only.
#include <QSettings>

#include "link/IrCommPort.h"

namespace zelvo {

QString DefaultRegistryMirror() { return {}; }

QString ReadRegistryString(const QString& keyPath, const QString& valueName) {
  // QSettings opens the key for reading only and creates nothing while no
  // value is set.
  const QSettings key(QStringLiteral("HKEY_LOCAL_MACHINE\\") + keyPath, QSettings::NativeFormat);
  return key.value(valueName).toString();
}

QString NativeSerialPortName(int number) { return QStringLiteral("COM%1").arg(number); }

}  // namespace zelvo
