// Control input cut across reads: a report is joined with the rest of its
// bytes, but never takes bytes that belong to the next report or reply, so
// noise can neither swallow later reports nor invent events.

#include <gtest/gtest.h>

#include "core/Bytes.h"
#include "dock/ArvennaKova6Dock.h"
#include "dock/KovaExpressDock.h"
#include "dock/MPKovaExpressDock.h"

using namespace zelvo;

namespace {

// Every shared event, and the inserted and battery events of the later models,
// as one line each.
template <class Dock>
void Record(Dock& dock, QStringList& seen) {
  dock.OnInstrumentConnected = [&](QObject*) { seen << "connected"; };
  dock.OnInstrumentDisconnected = [&](QObject*) { seen << "disconnected"; };
  dock.OnTestCompleted = [&](QObject*, auto result) { seen << QStringLiteral("test %1").arg(static_cast<int>(result)); };
  dock.OnStateChange = [&](QObject*, auto state) { seen << QStringLiteral("state %1").arg(static_cast<int>(state)); };
  dock.OnDebugMessage = [&](QObject*, const QByteArray& text) { seen << "message " + ToText(text); };
  if constexpr (std::is_same_v<Dock, TMPKovaExpressDock>) dock.OnDeviceInserted = [&](QObject*) { seen << "inserted"; };
  if constexpr (std::is_same_v<Dock, TArvennaKova6Dock>) {
    dock.OnDeviceInserted = [&](QObject*, auto state) { seen << QStringLiteral("inserted %1").arg(static_cast<int>(state)); };
    dock.OnBatteryStatus = [&](QObject*, bool charging, bool, quint16 voltage) {
      seen << QStringLiteral("battery %1 %2").arg(charging ? "charging" : "charged").arg(voltage);
    };
  }
}

struct Case {
  const char* what;
  QList<QByteArray> inputs;  // one per read
  QStringList events;
  TCommandStatus status = TCommandStatus::csIdle;
};

template <class Dock>
void Check(const Case& c) {
  SCOPED_TRACE(c.what);
  Dock dock;
  QStringList seen;
  Record(dock, seen);
  for (const QByteArray& input : c.inputs) dock.ParseControlReply(input);
  EXPECT_EQ(seen, c.events);
  EXPECT_EQ(dock.CommandStatus(), c.status);
}

}  // namespace

TEST(DockControlInput, KovaExpressJoinsCutReportsButNeverAcrossTheNextMarker) {
  const Case cases[] = {
      {"a report and its parameter in two reads", {"EVT7", "\x05"}, {"state 5"}},
      {"a debug message in three reads", {"EVT8\x05" "ab", "cd", "e"}, {"message abcde"}},
      {"a marker cut in two", {"EV", "T1"}, {"connected"}},
      {"a report without its code, then the code", {"EVT", "2"}, {"disconnected"}},
      {"a length byte out of range swallows nothing after it", {QByteArray("EVT8\xFF"), "EVT1", "EVT2"},
       {"connected", "disconnected"}},
      {"the same, all in one read", {QByteArray("EVT8\xFF" "EVT1EVT2")}, {"connected", "disconnected"}},
      {"noise, then the reply", {QByteArray("EVT8\xFF"), "ACK"}, {}, TCommandStatus::csAcked},
      {"a cut test result never takes the next report's bytes", {"EVT3", "EVT1"}, {"connected"}},
      {"nor the next reply's", {"EVT3", "NAK"}, {}, TCommandStatus::csFailed},
      {"a cut message running into a report", {"EVT8\x05" "ab", "cEVT1"}, {"connected"}},
      {"a message ending right before the next report", {"EVT8\x03" "ab", "cEVT1"}, {"message abc", "connected"}},
  };
  for (const Case& c : cases) Check<TKovaExpressDock>(c);
}

TEST(DockControlInput, TheLaterModelsReadTheirOwnReportsTheSameWay) {
  const Case multiPort[] = {
      {"a cut marker is no instrument put in", {"EVT", "ACK"}, {}, TCommandStatus::csAcked},
      {"an instrument put in", {"EVTA"}, {"inserted"}},
  };
  for (const Case& c : multiPort) Check<TMPKovaExpressDock>(c);
  const Case kova6[] = {
      {"a battery report in two reads", {"EVTE", "C0123"}, {"battery charging 291"}},
      {"a battery report cut by a report", {"EVTED01", "EVT1"}, {"connected"}},
      {"a report of another kind is one byte", {"EVTEx", "EVT1"}, {"connected"}},
      {"an instrument put in, its state in the next read", {"EVTA", "1"}, {"inserted 1"}},
      {"a cut marker is no instrument put in", {"EVT", "ACK"}, {}, TCommandStatus::csAcked},
  };
  for (const Case& c : kova6) Check<TArvennaKova6Dock>(c);
}
