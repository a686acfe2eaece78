// The version block reader: finding a VS_VERSIONINFO block inside a file
// image and looking values up in it, on arbitrary bytes.
//
// Input: the image (also read as a block of its own). Checked: a found block
// is a copy of bytes of the image with its own length; every value looked up
// is a range of the block; and a block built from entries taken from the
// input is found again inside the input's bytes and gives its values back.

#include <QStringList>

#include "FuzzSupport.h"
#include "core/VersionResource.h"

using namespace zelvo;

namespace {

const QStringList kPaths = {
    QStringLiteral("\\"),
    QStringLiteral("\\VarFileInfo\\Translation"),
    QStringLiteral("\\StringFileInfo\\040904E4\\FileVersion"),
    QStringLiteral("\\StringFileInfo\\040904E4\\ProductVersion"),
    QStringLiteral("\\StringFileInfo\\040904e4\\filedescription"),
    QStringLiteral("\\StringFileInfo\\040904E4"),
    QStringLiteral("StringFileInfo\\\\040904E4\\\\FileVersion\\"),
};

void QueryAll(const QByteArray& block) {
  for (const QString& path : kPaths) {
    const std::optional<QByteArray> value = QueryVersionValue(block, path);
    if (!value) continue;
    ZELVO_FUZZ_CHECK(value->size() <= block.size());
    ZELVO_FUZZ_CHECK(block.contains(*value));
    ZELVO_FUZZ_CHECK(VersionText(*value).size() <= value->size() / 2);
  }
}

// Entries for a block, from the input: keys of letters, values of any
// non-zero UTF-16 characters.
VersionBlockInput EntriesFrom(fuzz::Input& in) {
  VersionBlockInput input;
  input.language = static_cast<quint16>(in.Byte() | (in.Byte() << 8));
  input.codePage = static_cast<quint16>(in.Byte() | (in.Byte() << 8));
  QStringList keys;
  for (int n = in.Byte() % 5; n > 0 && !in.AtEnd(); --n) {
    QString key;
    for (char c : in.Bytes(1 + in.Byte() % 16)) key.append(QChar('A' + static_cast<unsigned char>(c) % 26));
    QString value;
    const QByteArray units = in.Bytes(2 * (in.Byte() % 48));
    for (qsizetype i = 0; i + 1 < units.size(); i += 2) {
      const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(units[i]) |
                                                  (static_cast<unsigned char>(units[i + 1]) << 8));
      if (unit != 0) value.append(QChar(unit));
    }
    if (keys.contains(key, Qt::CaseInsensitive)) continue;  // the first of equal keys answers
    keys << key;
    input.strings.append({key, value});
  }
  return input;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray image = fuzz::Whole(data, size);
  if (const std::optional<QByteArray> block = FindVersionBlock(image)) {
    ZELVO_FUZZ_CHECK(image.contains(*block));
    ZELVO_FUZZ_CHECK(block->size() == (static_cast<unsigned char>(block->at(0)) |
                                       (static_cast<unsigned char>(block->at(1)) << 8)));
    QueryAll(*block);
  }
  QueryAll(image);

  // Built, hidden among the input's bytes, found and read back.
  fuzz::Input in(data, size);
  const VersionBlockInput entries = EntriesFrom(in);
  const QByteArray built = BuildVersionBlock(entries);
  const QByteArray around = in.Rest();
  // The scan takes the first block it finds: bytes before the built block must
  // not hold one of their own, so they are cut at the first "V" of the key.
  const QByteArray before = around.left(around.indexOf('V') < 0 ? around.size() : around.indexOf('V'));
  const std::optional<QByteArray> found = FindVersionBlock(before + built + around);
  ZELVO_FUZZ_CHECK(found && *found == built);
  const QString table = QStringLiteral("%1%2")
                            .arg(entries.language, 4, 16, QLatin1Char('0'))
                            .arg(entries.codePage, 4, 16, QLatin1Char('0'));
  for (const auto& [key, value] : entries.strings) {
    const std::optional<QByteArray> read =
        QueryVersionValue(*found, QStringLiteral("\\StringFileInfo\\") + table + QLatin1Char('\\') + key);
    ZELVO_FUZZ_CHECK(read && VersionText(*read) == value);
  }
  return 0;
}
