#pragma once
// zelvoflash flash --verify: after a completed upload, the instrument is
// waited for while it restarts, identified as before the upload, compared
// with the file and released ("STB").

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <optional>

namespace zelvo::cli {

struct Instrument;
class Interrupts;

// How the instrument is reached again. Over an IrDA socket the operator
// puts it in IrDA mode again; through a dock it is reported present again;
// on a port it answers on the same line.
enum class RestartPath { Port, IrdaSocket, Dock };

struct RestartCheckReport {
  enum class End { CameBack, NotBack, Cancelled, Interrupted };
  End end = End::NotBack;
  // What the instrument reported, once it came back.
  std::optional<QByteArray> version, typeLetter;
  double waitedS = 0;  // from the end of the upload to the answer or the limit
  int signal = 0;      // End::Interrupted
};

// Whether the instrument runs the file's firmware: the same version (as
// numbers, or as the same text) and, where both name one, the same type
// letter (a single space names none).
bool SameVersion(const QByteArray& reported, const QByteArray& file);
bool SameFirmware(const QByteArray& version, const QByteArray& typeLetter, const QByteArray& fileVersion,
                  const QByteArray& fileType);

class RestartCheck {
 public:
  struct Setup {
    Instrument* instrument = nullptr;
    Interrupts* interrupts = nullptr;
    RestartPath path = RestartPath::Port;
    int timeoutS = 120;
    QElapsedTimer since;  // the end of the upload ("ACKBYE" to "PFM")
    std::function<void(const QString&)> say;  // a progress line
  };
  explicit RestartCheck(Setup setup) : setup_(std::move(setup)) {}

  // Waits (at most the limit, counted from setup.since) and returns how it went.
  RestartCheckReport Run();

 private:
  Setup setup_;
};

}  // namespace zelvo::cli
