// The IrCOMM port lookup off Windows: there is no registry, a mirror of it
// always stands in (IrCommPort.h).
#include "link/IrCommPort.h"

namespace zelvo {

QString DefaultRegistryMirror() { return QString::fromLatin1(kDefaultRegistryMirror); }

QString ReadRegistryString(const QString&, const QString&) { return {}; }

QString NativeSerialPortName(int number) { return QStringLiteral("/dev/ttyS%1").arg(number - 1); }

}  // namespace zelvo
