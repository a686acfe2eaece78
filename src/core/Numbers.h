#pragma once
// Whole numbers given by the operator (options, simulation items), each with
// the range it may take.

#include <QString>

namespace zelvo {

struct NumberRange {
  qint64 min;
  qint64 max;

  // "MIN to MAX", for usage texts and refusals.
  QString Text() const { return QStringLiteral("%1 to %2").arg(min).arg(max); }
  bool Contains(qint64 v) const { return v >= min && v <= max; }
};

// The decimal number in text when it lies in range; false (value untouched)
// when text is no whole number or lies outside.
template <typename T>
bool ParseNumber(const QString& text, NumberRange range, T* value) {
  bool ok = false;
  const qint64 v = text.trimmed().toLongLong(&ok);
  if (!ok || !range.Contains(v)) return false;
  *value = static_cast<T>(v);
  return true;
}

}  // namespace zelvo
