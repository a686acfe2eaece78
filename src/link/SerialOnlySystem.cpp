#include "link/SerialOnlySystem.h"

#include <QDir>
#include <QRegularExpression>

#include "link/IrCommPort.h"

namespace zelvo {

SerialOnlySystem::SerialOnlySystem() = default;

SerialOnlySystem::~SerialOnlySystem() {
  if (mirrorSet_) SetRegistryMirrorPath(previousMirror_);
}

bool SerialOnlySystem::Install(const QString& device, QString* error) {
  QString path = device;
  static const QRegularExpression comName(QStringLiteral("^COM(\\d+)$"), QRegularExpression::CaseInsensitiveOption);
  if (const auto match = comName.match(device); match.hasMatch()) path = SerialPortName(match.captured(1).toInt());

  mirror_.setFileTemplate(QDir::tempPath() + QStringLiteral("/zelvo-registry-XXXXXX.ini"));
  if (!mirror_.open()) {
    *error = QStringLiteral("cannot create a temporary file for the serial port");
    return false;
  }
  mirror_.write(MirrorText(path));
  mirror_.flush();
  previousMirror_ = RegistryMirrorPath();
  SetRegistryMirrorPath(mirror_.fileName());
  mirrorSet_ = true;
  installed_ = std::make_unique<ScopedIrdaStack>(&stack_);
  return true;
}

QByteArray SerialOnlySystem::MirrorText(const QString& devicePath) {
  return "[Software\\PIE_IrDA Infrared\\1.0\\Parameters]\nIrComm=COM4\n[Ports]\nCOM4=" + devicePath.toUtf8() + "\n";
}

}  // namespace zelvo
