#include "sim/FirmwareMaker.h"

#include <QFile>
#include <cmath>

namespace zelvo::sim {

QByteArray MakeFirmware(const FirmwareSpec& spec) {
  const int size = spec.ng ? 49154 : 32258;
  QByteArray image(size, '\0');
  // Content that looks like code: a simple generator, every byte value used.
  quint32 state = spec.seed * 2654435761u + 1;
  for (int i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    image[i] = static_cast<char>((state >> 16) & 0xFF);
  }
  const QByteArray date = spec.date.leftJustified(19, ' ', true);
  if (spec.ng) {
    image.replace(49092, 19, date);
    const int hundredths = static_cast<int>(std::lround(spec.version.toDouble() * 100));
    image[49112] = static_cast<char>(hundredths & 0xFF);
    image[49113] = static_cast<char>((hundredths >> 8) & 0xFF);
    image[49114] = 'X';
    image[49116] = spec.type;
  } else {
    image.replace(32196, 19, date);
    image.replace(32216, 4, spec.version.leftJustified(4, ' ', true));
    image[32222] = spec.type;
  }
  return image;
}

bool WriteFirmware(const QString& path, const FirmwareSpec& spec) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray bytes = MakeFirmware(spec);
  return file.write(bytes) == bytes.size();
}

}  // namespace zelvo::sim
