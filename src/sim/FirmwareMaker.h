#pragma once
// Sample firmware files for tests and demonstrations: synthetic image content
// with the identification fields of either layout filled in.

#include <QByteArray>
#include <QString>

namespace zelvo::sim {

struct FirmwareRecipe {
  bool ng = true;
  QByteArray version = "9.12";  // classic: 4 characters verbatim; NG: a number, stored in hundredths
  char type = 'A';              // classic: 0xFF stands for "no type"
  QByteArray date = "2026-01-15 10:30:00";  // 19 characters
  quint32 seed = 1;             // varies the synthetic content
  int size = 0;                 // 0: the layout's size; else cut or padded to it (a damaged file)
};

// The whole file: 32,258 bytes (classic) or 49,154 bytes (NG), unless the
// recipe asks for another size.
QByteArray MakeFirmware(const FirmwareRecipe& recipe);

// What an image says it is, read at its layout's offsets: the version text
// (classic: the 4 characters as they stand, trailing spaces dropped; NG: the
// hundredths as "9.12") and the type letter (a space for classic 0xFF). An
// image shorter than its layout reads as what it holds (missing bytes zero).
struct FirmwareIdentity {
  QByteArray version;
  QByteArray type;
};
FirmwareIdentity ReadFirmwareIdentity(const QByteArray& image, bool ng);

// Writes the file; false when it cannot be written.
bool WriteFirmware(const QString& path, const FirmwareRecipe& recipe);

}  // namespace zelvo::sim
