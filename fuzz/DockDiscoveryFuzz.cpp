// The discovery answer handler (TDockEnumerator) past the receive, on
// datagrams of any length and content.
//
// Input: a count byte, then datagrams, each a two-byte length (low byte
// first; it may exceed the 1024-byte buffer) and its bytes, then a sender
// byte. Each datagram is handed over in a buffer of exactly its size, so that
// reading past the received bytes is caught by the address sanitizer.
// Checked: an answer is listed exactly when its text (up to the first zero
// byte, within the received bytes and the buffer) contains "KovaExpress";
// each sender once, by the text of its latest such answer; the two lists stay
// parallel and OnListChanged is raised for a new entry or a new name only.

#include <QStringList>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "net/DockEnumerator.h"

using namespace zelvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Application();
  fuzz::Input in(data, size);
  TDockEnumerator enumerator;
  int changed = 0;
  enumerator.OnListChanged = [&](QObject*) { ++changed; };
  const QByteArray ident = enumerator.DockIdent();
  ZELVO_FUZZ_CHECK(ident == "KovaExpress");

  for (int n = 1 + in.Byte() % 8; n > 0 && !in.AtEnd(); --n) {
    const int claimed = in.Byte() | (in.Byte() << 8);
    const QByteArray bytes = in.Bytes(static_cast<size_t>(qMin(claimed, TDockEnumerator::kAnswerBufferSize)));
    const int received = static_cast<int>(bytes.size());
    const QString sender = QStringLiteral("10.0.0.%1").arg(in.Byte());
    std::unique_ptr<char[]> datagram(new char[static_cast<size_t>(received > 0 ? received : 1)]);
    std::memcpy(datagram.get(), bytes.constData(), static_cast<size_t>(received));

    const qsizetype entries = enumerator.DockNames.size();
    const qsizetype known = enumerator.DockAddresses.indexOf(sender);
    const QString before = known >= 0 ? enumerator.DockNames.at(known) : QString();
    const int changedBefore = changed;
    enumerator.TakeAnswer(received > 0 ? datagram.get() : nullptr, received, sender);

    const qsizetype zero = bytes.indexOf('\0');
    const QByteArray text = zero < 0 ? bytes : bytes.left(zero);
    const QString name = QString::fromLatin1(text);
    const bool listed = text.contains(ident);
    ZELVO_FUZZ_CHECK(enumerator.DockNames.size() == entries + (listed && known < 0 ? 1 : 0));
    ZELVO_FUZZ_CHECK(enumerator.DockAddresses.size() == enumerator.DockNames.size());
    ZELVO_FUZZ_CHECK(changed == changedBefore + (listed && (known < 0 || before != name) ? 1 : 0));
    if (listed) {
      const qsizetype at = known >= 0 ? known : entries;
      ZELVO_FUZZ_CHECK(enumerator.DockNames.at(at) == name);
      ZELVO_FUZZ_CHECK(name.size() <= TDockEnumerator::kAnswerBufferSize);
      ZELVO_FUZZ_CHECK(enumerator.DockAddresses.at(at) == sender);
      if (changed > changedBefore) ZELVO_FUZZ_CHECK(enumerator.ChangedEntry() == at);
    }
  }
  return 0;
}
