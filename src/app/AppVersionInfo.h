#pragma once
// The program's own version information: the standard string entries of the
// version block of the file named by ExeName, and the four parts of its file
// version.

#include <QObject>
#include <QString>

namespace zelvo {

class TAppVersionInfo : public QObject {
 public:
  explicit TAppVersionInfo(QObject* owner = nullptr);

  QString LangId() const { return langId_; }  // stored only
  void SetLangId(const QString& value) { langId_ = value; }
  QString ExeName() const { return exeName_; }
  void SetExeName(const QString& value) { exeName_ = value; }

  // Fills the read-only properties from ExeName; a file without a version
  // block (or one that cannot be read) leaves them as they are.
  void ReadVersionInfo();

  // Field n (from 1) of a dotted text; asking past the last field returns the
  // last field again.
  static QString VersionField(const QString& text, int n);

  QString CompanyName() const { return companyName_; }
  QString FileDescription() const { return fileDescription_; }
  QString FileVersion() const { return fileVersion_; }
  QString InternalName() const { return internalName_; }
  QString LegalCopyright() const { return legalCopyright_; }
  QString LegalTradeMarks() const { return legalTradeMarks_; }
  QString OriginalFilename() const { return originalFilename_; }
  QString ProductName() const { return productName_; }
  QString ProductVersion() const { return productVersion_; }
  QString Comments() const { return comments_; }
  QString MajorVersion() const { return majorVersion_; }
  QString MinorVersion() const { return minorVersion_; }
  QString Release() const { return release_; }
  QString Build() const { return build_; }

 private:
  QString langId_ = QStringLiteral("0409");
  QString exeName_;
  QString companyName_, fileDescription_, fileVersion_, internalName_, legalCopyright_,
      legalTradeMarks_, originalFilename_, productName_, productVersion_, comments_;
  QString majorVersion_, minorVersion_, release_, build_;
};

}  // namespace zelvo
