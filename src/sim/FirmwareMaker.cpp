#include "sim/FirmwareMaker.h"

#include <QFile>
#include <cmath>

namespace zelvo::sim {

namespace {
// Where the identification fields sit in each layout.
struct Layout {
  int size, date, version, extra, type;
};
constexpr Layout kNG{49154, 49092, 49112, 49114, 49116};
constexpr Layout kClassic{32258, 32196, 32216, -1, 32222};
}  // namespace

QByteArray MakeFirmware(const FirmwareRecipe& recipe) {
  const Layout& layout = recipe.ng ? kNG : kClassic;
  const int size = layout.size;
  QByteArray image(size, '\0');
  // Content that looks like code: a simple generator, every byte value used.
  quint32 state = recipe.seed * 2654435761u + 1;
  for (int i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    image[i] = static_cast<char>((state >> 16) & 0xFF);
  }
  const QByteArray date = recipe.date.leftJustified(19, ' ', true);
  image.replace(layout.date, 19, date);
  if (recipe.ng) {
    const int hundredths = static_cast<int>(std::lround(recipe.version.toDouble() * 100));
    image[layout.version] = static_cast<char>(hundredths & 0xFF);
    image[layout.version + 1] = static_cast<char>((hundredths >> 8) & 0xFF);
    image[layout.extra] = 'X';
  } else {
    image.replace(layout.version, 4, recipe.version.leftJustified(4, ' ', true));
  }
  image[layout.type] = recipe.type;
  if (recipe.size > 0) image.resize(recipe.size, '\xFF');
  return image;
}

FirmwareIdentity ReadFirmwareIdentity(const QByteArray& image, bool ng) {
  const Layout& layout = ng ? kNG : kClassic;
  const auto at = [&image](int offset) { return offset < image.size() ? static_cast<unsigned char>(image[offset]) : 0; };
  FirmwareIdentity identity;
  if (ng) {
    const int hundredths = at(layout.version) | (at(layout.version + 1) << 8);
    identity.version = QStringLiteral("%1.%2").arg(hundredths / 100).arg(hundredths % 100, 2, 10, QLatin1Char('0')).toLatin1();
  } else {
    for (int i = 0; i < 4; ++i) identity.version.append(static_cast<char>(at(layout.version + i)));
    while (identity.version.endsWith(' ') || identity.version.endsWith('\0')) identity.version.chop(1);
  }
  const unsigned char type = static_cast<unsigned char>(at(layout.type));
  identity.type = QByteArray(1, !ng && type == 0xFF ? ' ' : static_cast<char>(type));
  return identity;
}

bool WriteFirmware(const QString& path, const FirmwareRecipe& recipe) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray bytes = MakeFirmware(recipe);
  return file.write(bytes) == bytes.size();
}

}  // namespace zelvo::sim
