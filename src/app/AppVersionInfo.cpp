#include "app/AppVersionInfo.h"

#include "core/Bytes.h"
#include "core/VersionResource.h"

namespace zelvo {

TAppVersionInfo::TAppVersionInfo(QObject* owner) : QObject(owner) {}

QString TAppVersionInfo::VersionField(const QString& text, int n) {
  QString rest = text;
  QString field;
  for (int i = 0; i < n; ++i) {
    const qsizetype dot = rest.indexOf(QLatin1Char('.'));
    if (dot < 0) {
      field = rest;
    } else {
      field = rest.left(dot);
      rest = rest.mid(dot + 1);
    }
  }
  return field;
}

void TAppVersionInfo::ReadVersionInfo() {
  const std::optional<QByteArray> block = ReadExecutableVersionBlock(exeName_);
  if (!block) return;

  const std::optional<QByteArray> translation = QueryVersionValue(*block, QStringLiteral("\\VarFileInfo\\Translation"));
  if (!translation || translation->size() < 4) return;
  const auto u16 = [&](int at) { return LittleEndian16At(*translation, at); };
  const QString table = QStringLiteral("%1%2")
                            .arg(u16(0), 4, 16, QLatin1Char('0'))
                            .arg(u16(2), 4, 16, QLatin1Char('0'))
                            .toUpper();
  const auto text = [&](const char* key) {
    const auto value = QueryVersionValue(*block, QStringLiteral("\\StringFileInfo\\%1\\%2").arg(table, QLatin1String(key)));
    return value ? VersionText(*value) : QString();
  };
  companyName_ = text("CompanyName");
  fileDescription_ = text("FileDescription");
  fileVersion_ = text("FileVersion");
  internalName_ = text("InternalName");
  legalCopyright_ = text("LegalCopyright");
  legalTradeMarks_ = text("LegalTradeMarks");
  originalFilename_ = text("OriginalFilename");
  productName_ = text("ProductName");
  productVersion_ = text("ProductVersion");
  comments_ = text("Comments");
  majorVersion_ = VersionField(fileVersion_, 1);
  minorVersion_ = VersionField(fileVersion_, 2);
  release_ = VersionField(fileVersion_, 3);
  build_ = VersionField(fileVersion_, 4);
}

}  // namespace zelvo
