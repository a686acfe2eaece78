#include "sim/FirmwareMaker.h"

#include <QFile>
#include <cmath>

namespace zelvo::sim {

QByteArray MakeFirmware(const FirmwareRecipe& recipe) {
  const int size = recipe.ng ? 49154 : 32258;
  QByteArray image(size, '\0');
  // Content that looks like code: a simple generator, every byte value used.
  quint32 state = recipe.seed * 2654435761u + 1;
  for (int i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    image[i] = static_cast<char>((state >> 16) & 0xFF);
  }
  const QByteArray date = recipe.date.leftJustified(19, ' ', true);
  if (recipe.ng) {
    image.replace(49092, 19, date);
    const int hundredths = static_cast<int>(std::lround(recipe.version.toDouble() * 100));
    image[49112] = static_cast<char>(hundredths & 0xFF);
    image[49113] = static_cast<char>((hundredths >> 8) & 0xFF);
    image[49114] = 'X';
    image[49116] = recipe.type;
  } else {
    image.replace(32196, 19, date);
    image.replace(32216, 4, recipe.version.leftJustified(4, ' ', true));
    image[32222] = recipe.type;
  }
  if (recipe.size > 0) image.resize(recipe.size, '\xFF');
  return image;
}

bool WriteFirmware(const QString& path, const FirmwareRecipe& recipe) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray bytes = MakeFirmware(recipe);
  return file.write(bytes) == bytes.size();
}

}  // namespace zelvo::sim
