#include "core/Diagnostics.h"

namespace zelvo {

// Off unless asked for (QT_LOGGING_RULES="zelvo.diag.debug=true"): diagnostics
// are for developers, like a debugger's output window.
Q_LOGGING_CATEGORY(lcDiag, "zelvo.diag", QtInfoMsg)

namespace {
std::mutex g_sink_mutex;
DiagnosticSink g_sink;
}  // namespace

void Diagnostic(const QString& line) {
  DiagnosticSink sink;
  {
    std::lock_guard lock(g_sink_mutex);
    sink = g_sink;
  }
  if (sink)
    sink(line);
  else
    qCDebug(lcDiag).noquote() << line;
}

QString ExceptionText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return QString::fromLocal8Bit(e.what());
  } catch (...) {
    return QStringLiteral("unknown exception");
  }
}

DiagnosticSink SetDiagnosticSink(DiagnosticSink sink) {
  std::lock_guard lock(g_sink_mutex);
  DiagnosticSink previous = std::move(g_sink);
  g_sink = std::move(sink);
  return previous;
}

DiagnosticCapture::DiagnosticCapture() {
  previous_ = SetDiagnosticSink([this](const QString& line) {
    std::lock_guard lock(mutex_);
    lines_ << line;
  });
}

DiagnosticCapture::~DiagnosticCapture() { SetDiagnosticSink(previous_); }

QStringList DiagnosticCapture::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool DiagnosticCapture::Contains(const QString& fragment) const {
  std::lock_guard lock(mutex_);
  for (const QString& line : lines_)
    if (line.contains(fragment)) return true;
  return false;
}

void DiagnosticCapture::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace zelvo
