#include "core/VersionResource.h"

#include <QStringList>
#include <QtEndian>

#include "core/Bytes.h"

namespace zelvo {

namespace {

constexpr int kHeaderSize = 6;
constexpr quint32 kFixedInfoSignature = 0xFEEF04BD;
constexpr int kFixedInfoSize = 52;

int AlignUp(int offset) { return (offset + 3) & ~3; }

void PutU16(QByteArray& out, quint16 value) {
  out.append(static_cast<char>(value & 0xFF));
  out.append(static_cast<char>(value >> 8));
}

void PutU32(QByteArray& out, quint32 value) {
  PutU16(out, static_cast<quint16>(value & 0xFFFF));
  PutU16(out, static_cast<quint16>(value >> 16));
}

void PadTo32(QByteArray& out) {
  while (out.size() % 4 != 0) out.append('\0');
}

QByteArray Utf16z(const QString& text) {
  QByteArray out;
  for (QChar c : text) PutU16(out, c.unicode());
  PutU16(out, 0);
  return out;
}

// One node; children are appended already built. Offsets inside the node are
// aligned relative to the node start, which is itself aligned.
QByteArray Node(const QString& key, quint16 type, const QByteArray& value, quint16 valueLength,
                const QList<QByteArray>& children) {
  QByteArray node(kHeaderSize, '\0');
  node.append(Utf16z(key));
  PadTo32(node);
  node.append(value);
  for (const QByteArray& child : children) {
    PadTo32(node);
    node.append(child);
  }
  const quint16 length = static_cast<quint16>(node.size());
  qToLittleEndian<quint16>(length, node.data());
  qToLittleEndian<quint16>(valueLength, node.data() + 2);
  qToLittleEndian<quint16>(type, node.data() + 4);
  return node;
}


// A parsed node header within [start, end) of the block.
struct NodeView {
  int start = 0;
  int end = 0;  // start + wLength, clipped checks done by Parse
  QString key;
  int valueStart = 0;
  int valueBytes = 0;
  int childrenStart = 0;
};

std::optional<NodeView> Parse(const QByteArray& block, int start, int limit) {
  if (start < 0 || start + kHeaderSize > limit) return std::nullopt;
  const int length = LittleEndian16At(block, start);
  if (length < kHeaderSize || start + length > limit) return std::nullopt;
  NodeView node;
  node.start = start;
  node.end = start + length;
  const int valueLength = LittleEndian16At(block, start + 2);
  const int type = LittleEndian16At(block, start + 4);
  int at = start + kHeaderSize;
  bool terminated = false;
  while (at + 2 <= node.end) {
    const quint16 c = LittleEndian16At(block, at);
    at += 2;
    if (c == 0) {
      terminated = true;
      break;
    }
    node.key.append(QChar(c));
  }
  if (!terminated) return std::nullopt;
  at = start + AlignUp(at - start);
  node.valueStart = std::min(at, node.end);
  const int wanted = type == 1 ? valueLength * 2 : valueLength;
  node.valueBytes = std::min(wanted, node.end - node.valueStart);
  node.childrenStart = start + AlignUp(node.valueStart + node.valueBytes - start);
  return node;
}

QStringList SplitPath(const QString& path) {
  QStringList parts;
  for (const QString& part : path.split(QLatin1Char('\\')))
    if (!part.isEmpty()) parts << part;
  return parts;
}

}  // namespace

QByteArray BuildVersionBlock(const VersionBlockInput& input) {
  QList<QByteArray> strings;
  QString fileVersion;
  for (const auto& [key, value] : input.strings) {
    if (key == QLatin1String("FileVersion")) fileVersion = value;
    const QByteArray text = Utf16z(value);
    strings << Node(key, 1, text, static_cast<quint16>(text.size() / 2), {});
  }
  const QString tableName = QStringLiteral("%1%2")
                                .arg(input.language, 4, 16, QLatin1Char('0'))
                                .arg(input.codePage, 4, 16, QLatin1Char('0'))
                                .toUpper();
  const QByteArray table = Node(tableName, 1, {}, 0, strings);
  const QByteArray stringInfo = Node(QStringLiteral("StringFileInfo"), 1, {}, 0, {table});

  QByteArray translation;
  PutU16(translation, input.language);
  PutU16(translation, input.codePage);
  const QByteArray var = Node(QStringLiteral("Translation"), 0, translation, 4, {});
  const QByteArray varInfo = Node(QStringLiteral("VarFileInfo"), 1, {}, 0, {var});

  quint16 parts[4] = {0, 0, 0, 0};
  const QStringList numbers = fileVersion.split(QLatin1Char('.'));
  for (int i = 0; i < 4 && i < numbers.size(); ++i) parts[i] = numbers[i].toUShort();
  QByteArray fixed;
  PutU32(fixed, kFixedInfoSignature);
  PutU32(fixed, 0x00010000);  // structure version
  PutU32(fixed, (quint32(parts[0]) << 16) | parts[1]);
  PutU32(fixed, (quint32(parts[2]) << 16) | parts[3]);
  PutU32(fixed, (quint32(parts[0]) << 16) | parts[1]);  // product version
  PutU32(fixed, (quint32(parts[2]) << 16) | parts[3]);
  PutU32(fixed, 0x3F);        // flags mask
  PutU32(fixed, 0);           // flags
  PutU32(fixed, 0x00040004);  // VOS_NT_WINDOWS32
  PutU32(fixed, 1);           // VFT_APP
  PutU32(fixed, 0);           // subtype
  PutU32(fixed, 0);           // date
  PutU32(fixed, 0);
  return Node(QStringLiteral("VS_VERSION_INFO"), 0, fixed, kFixedInfoSize, {stringInfo, varInfo});
}

std::optional<QByteArray> FindVersionBlock(const QByteArray& image) {
  // The key is assembled at run time so that this program's own code holds no
  // UTF-16 copy of it that the scan could mistake for a block.
  const QByteArray ascii = QByteArrayLiteral("VS_VERSION_INFO");
  QByteArray needle;
  for (char c : ascii) {
    needle.append(c);
    needle.append('\0');
  }
  needle.append(2, '\0');
  qsizetype from = 0;
  for (;;) {
    const qsizetype hit = image.indexOf(needle, from);
    if (hit < 0) return std::nullopt;
    from = hit + 1;
    const qsizetype start = hit - kHeaderSize;
    if (start < 0 || start + kHeaderSize > image.size()) continue;
    const int length = LittleEndian16At(image, static_cast<int>(start));
    if (length < kHeaderSize + needle.size() || start + length > image.size()) continue;
    // A copy of its own: the image may be a view of a mapped file.
    const QByteArray block(image.constData() + start, length);
    auto root = Parse(block, 0, static_cast<int>(block.size()));
    if (!root || root->valueBytes != kFixedInfoSize) continue;
    if (LittleEndian32At(block, root->valueStart) != kFixedInfoSignature) continue;
    return block;
  }
}

std::optional<QByteArray> QueryVersionValue(const QByteArray& block, const QString& path) {
  const int size = static_cast<int>(std::min<qsizetype>(block.size(), 0xFFFF));
  auto node = Parse(block, 0, size);
  if (!node) return std::nullopt;
  for (const QString& part : SplitPath(path)) {
    std::optional<NodeView> found;
    int at = node->childrenStart;
    while (at < node->end) {
      auto child = Parse(block, at, node->end);
      if (!child) break;
      if (child->key.compare(part, Qt::CaseInsensitive) == 0) {
        found = child;
        break;
      }
      at = child->start + AlignUp(child->end - child->start);
    }
    if (!found) return std::nullopt;
    node = found;
  }
  return block.mid(node->valueStart, node->valueBytes);
}

QString VersionText(const QByteArray& utf16) {
  QString text;
  for (qsizetype i = 0; i + 1 < utf16.size(); i += 2) {
    const quint16 c = LittleEndian16At(utf16, static_cast<int>(i));
    if (c == 0) break;
    text.append(QChar(c));
  }
  return text;
}

QString ExecutableFileVersion(const QString& path) {
  const std::optional<QByteArray> block = ReadExecutableVersionBlock(path);
  if (!block) return {};
  for (const char* table : {"040904E4", "040904B0"}) {
    if (const auto value = QueryVersionValue(*block, QStringLiteral("\\StringFileInfo\\%1\\FileVersion").arg(table)))
      return VersionText(*value);
  }
  return {};
}

}  // namespace zelvo
