#pragma once
// Developer diagnostics ("debugger output").
//
// One function writes a line; by default it goes to the Qt logging category
// "zelvo.diag", shown on standard error only when QT_LOGGING_RULES enables it
// ("zelvo.diag.debug=true"). Tests capture the lines with DiagnosticCapture.
// Safe to call from any thread.

#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <exception>
#include <functional>
#include <mutex>

namespace zelvo {

Q_DECLARE_LOGGING_CATEGORY(lcDiag)

void Diagnostic(const QString& line);

// The message of a caught exception ("unknown exception" for one that is no
// std::exception), for a diagnostic line.
QString ExceptionText(const std::exception_ptr& error);

// Replaces the destination of diagnostic lines (empty: back to the logging
// category). Returns the previous sink.
using DiagnosticSink = std::function<void(const QString&)>;
DiagnosticSink SetDiagnosticSink(DiagnosticSink sink);

// Collects every diagnostic line written while it exists.
class DiagnosticCapture {
 public:
  DiagnosticCapture();
  ~DiagnosticCapture();
  DiagnosticCapture(const DiagnosticCapture&) = delete;
  DiagnosticCapture& operator=(const DiagnosticCapture&) = delete;

  QStringList Lines() const;
  bool Contains(const QString& fragment) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  QStringList lines_;
  DiagnosticSink previous_;
};

}  // namespace zelvo
