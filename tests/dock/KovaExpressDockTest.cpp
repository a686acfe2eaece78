// The Kova Express dock's command protocol and pass-through, byte for byte,
// against a scripted far side on the simulated USB bus.

#include <gtest/gtest.h>

#include "dock/DockTestSupport.h"

using namespace zelvo;

namespace {

using KovaExpressDock = test::UsbDockFixture<TKovaExpressDock>;

QString Padded(const char* text) { return QString::fromLatin1(text).leftJustified(70, QLatin1Char(' ')); }

}  // namespace

TEST_F(KovaExpressDock, CommandsGoOutAsTheirBytesWithTheirDebugLine) {
  Enable();
  debug.clear();
  EXPECT_TRUE(dock->SendDisconnect());
  EXPECT_EQ(Commands(), QList<QByteArray>{"DSC"});
  ASSERT_FALSE(debug.isEmpty());
  EXPECT_EQ(debug.first(), Padded("Dock Command Sent") + "(68)(83)(67)      [D][S][C]");

  far->ClearWrites();
  EXPECT_TRUE(dock->SetLCDLineText(2, "Insert Instr"));
  EXPECT_TRUE(dock->SetLCDLineText(7, "Twenty characters!!!"));
  EXPECT_TRUE(dock->SendPSS(150, 1));
  EXPECT_EQ(Commands(), (QList<QByteArray>{"LCD2Insert Instr    ", "LCD3Twenty character", QByteArray("PSS\x64\x01", 5)}));
  // Bytes that are not letters or digits show only in decimal.
  EXPECT_TRUE(debug.filter(QStringLiteral("Dock Command Sent")).last().endsWith(
      QStringLiteral("(80)(83)(83)(100)(1)      [P][S][S][d]")));
}

TEST_F(KovaExpressDock, EventsComeFirstInOrderThenTheReply) {
  Enable();
  QStringList seen;
  dock->OnDeviceInRange = [&](QObject*) { seen << "in range"; };
  dock->OnInstrumentConnected = [&](QObject*) { seen << "connected"; };
  dock->OnStateChange = [&](QObject*, TKovaExpressDock::TDockState state) {
    seen << "state " + TKovaExpressDock::DockStateName(static_cast<quint8>(state));
  };
  dock->OnCmdTimeOut = [&](QObject*) { seen << "time-out"; };
  AnswerAll(QByteArray("EVT4EVT7\x00" "EVT7\x02" "EVT1ACK", 21));
  debug.clear();
  EXPECT_TRUE(dock->SendDisconnect());
  EXPECT_EQ(seen, (QStringList{"in range", "state Cmd_Enq", "state Cmd_Ver", "connected"}));
  // The command's line, the input as it came, then the events' lines.
  EXPECT_EQ(debug.mid(2), (QStringList{"Instrument In Range Event", "Dock State : Cmd_Enq ", "Dock State : Cmd_Ver",
                                       "Instrument Connected Event"}));
  EXPECT_EQ(dock->CommandStatus(), TCommandStatus::csAcked);
  EXPECT_FALSE(dock->CommandTimer().Enabled());
}

TEST_F(KovaExpressDock, AtMostTenReportsPerInputAndTheReplyStillFound) {
  Enable();
  int lowFlow = 0;
  dock->OnPumpLowFlow = [&](QObject*) { ++lowFlow; };
  QByteArray input;
  for (int i = 0; i < 11; ++i) input += "EVT0";
  AnswerAll(input + "ACK");
  EXPECT_TRUE(dock->SendDisconnect());
  EXPECT_EQ(lowFlow, 10);
}

TEST_F(KovaExpressDock, RepliesAreFoundAnywhereAndAckWinsOverNak) {
  Enable();
  AnswerAll("NAKACK");
  EXPECT_TRUE(dock->SendDisconnect());
  AnswerAll("xxEVTZ??ACK");  // an unknown event code is skipped
  EXPECT_TRUE(dock->SendDisconnect());
  AnswerAll("NAK");
  EXPECT_FALSE(dock->SendDisconnect());
  EXPECT_EQ(dock->CommandStatus(), TCommandStatus::csFailed);
}

TEST_F(KovaExpressDock, ReportsAndRepliesCutAcrossTwoInputsAreJoined) {
  Enable();
  std::vector<quint8> states;
  dock->OnStateChange = [&](QObject*, TKovaExpressDock::TDockState state) { states.push_back(static_cast<quint8>(state)); };
  // A report whose parameter byte comes with the next read, and a reply cut in two.
  Answer([this](const QByteArray&) {
    far->QueuePacket(2, "EVT7");
    far->QueuePacket(2, "\x05" "AC");
    return QByteArray("K");
  });
  EXPECT_TRUE(dock->SendDisconnect());
  EXPECT_EQ(states, std::vector<quint8>{5});
}

// A report that can never be completed (a debug message announcing 255
// bytes that do not come) does not swallow the replies that follow it.
TEST_F(KovaExpressDock, ACutReportFollowedByAReplyGivesWayToTheReply) {
  Enable();
  DriveClock();  // a swallowed reply would end in the command time-out
  QStringList messages;
  dock->OnDebugMessage = [&](QObject*, const QByteArray& text) { messages << ToText(text); };
  Answer([this](const QByteArray&) {
    far->QueuePacket(2, "EVT8\xFF");
    return QByteArray("ACK");
  });
  EXPECT_TRUE(dock->SendDisconnect());
  AnswerAll("ACK");
  EXPECT_TRUE(dock->SendDisconnect());  // nothing of the noise is left to join
  EXPECT_EQ(dock->CommandStatus(), TCommandStatus::csAcked);
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(KovaExpressDock, ReadingsAfterTheAckAreTakenAsFarAsTheyGo) {
  Enable();
  AnswerAll(QByteArray("ACK\x00\x00\x03\x00\x00\x00\x00\x00", 11));
  EXPECT_EQ(dock->BatteryVoltage(), 300);
  EXPECT_EQ(Commands().last(), "ADC");
  // A short reading: the missing bytes count as zero, nothing is read past it.
  AnswerAll(QByteArray("ACK\x00\x00\x01", 6));
  EXPECT_EQ(dock->BatteryVoltage(), 100);
  AnswerAll(QByteArray("ACK\x00\x00\xFF\xFF\x00\x00\x00\x00", 11));
  EXPECT_EQ(dock->BatteryVoltage(), (0xFFFF * 300) / 768);

  AnswerAll("ACK Kova Express  ");
  QByteArray line;
  EXPECT_TRUE(dock->ReadLCDLine(1, &line));
  EXPECT_EQ(Commands().last(), "RLC1");
  EXPECT_EQ(line, " Kova Express  ");
}

TEST_F(KovaExpressDock, SlaveModeTellsBusyDocks) {
  Enable();
  bool retry = false;
  AnswerAll("ACKB");
  EXPECT_TRUE(dock->SetSlaveMode(true, retry));
  EXPECT_TRUE(retry);
  AnswerAll("ACKI");
  EXPECT_TRUE(dock->SetSlaveMode(true, retry));
  EXPECT_FALSE(retry);
  AnswerAll("NAK");
  EXPECT_FALSE(dock->SetSlaveMode(false, retry));
  EXPECT_TRUE(retry);
  EXPECT_EQ(Commands(), (QList<QByteArray>{"SLV", "SLV", "MST"}));
}

TEST_F(KovaExpressDock, ASilentDockTimesOutOnceAfterTheCommandTimeOut) {
  Enable();
  AnswerAll({});
  int timeOuts = 0;
  dock->OnCmdTimeOut = [&](QObject*) { ++timeOuts; };
  DriveClock();
  const qint64 start = clock.Now();
  EXPECT_FALSE(dock->SendDisconnect());
  EXPECT_EQ(timeOuts, 1);
  EXPECT_GE(clock.Now() - start, 3000);
  EXPECT_LT(clock.Now() - start, 3200);
  EXPECT_EQ(dock->CommandStatus(), TCommandStatus::csIdle);
}

TEST_F(KovaExpressDock, ANakLeavesTheTimerRunningToCutALaterCommandShort) {
  Enable();
  int timeOuts = 0;
  dock->OnCmdTimeOut = [&](QObject*) { ++timeOuts; };
  AnswerAll("NAK");
  EXPECT_FALSE(dock->SendDisconnect());
  EXPECT_TRUE(dock->CommandTimer().Enabled());
  clock.Advance(2000);
  AnswerAll({});
  DriveClock();
  const qint64 start = clock.Now();
  EXPECT_FALSE(dock->SendDisconnect());
  EXPECT_EQ(timeOuts, 1);
  EXPECT_LE(clock.Now() - start, 1100);  // the first command's schedule, not a fresh 3 s
}

TEST_F(KovaExpressDock, OneCommandAtATime) {
  Enable();
  // An event arrives while "DSC" waits; its handler asks for another command,
  // and the reply comes after it.
  bool nested = true;
  dock->OnDeviceInRange = [&](QObject*) {
    nested = dock->SendDisconnect();
    far->QueuePacket(2, "ACK");
  };
  Answer([this](const QByteArray&) {
    far->QueuePacket(2, "EVT4");
    return QByteArray();
  });
  EXPECT_TRUE(dock->SendDisconnect());
  EXPECT_FALSE(nested);
  EXPECT_EQ(Commands(), QList<QByteArray>{"DSC"});
}

TEST_F(KovaExpressDock, EnablingOverUsbPicksTheFirstDockOrSaysWhy) {
  // No name chosen: the first of the device list.
  dock->SetEnabled(true);
  EXPECT_TRUE(dock->Enabled());
  EXPECT_EQ(device->DeviceName(), far->Path());
  // Halted after connecting: the dock restarts it and still sends.
  EXPECT_TRUE(dock->SendDisconnect());
  EXPECT_TRUE(dialogs.Saw(QStringLiteral("Cant Send, USB Halted!, Restarting.")));
  dock->SetEnabled(false);
  EXPECT_FALSE(dock->Enabled());
  EXPECT_FALSE(dock->SendDisconnect());
  EXPECT_TRUE(dialogs.Saw(QStringLiteral("Send Error, USB Dock not Enabled!")));
  EXPECT_EQ(dock->CommandStatus(), TCommandStatus::csFailed);

  bus.Unplug(far->Path());
  device->SetDeviceName({});
  dock->SetEnabled(true);
  EXPECT_FALSE(dock->Enabled());
  EXPECT_TRUE(dialogs.Saw(QStringLiteral("No devices found!")));
}

TEST_F(KovaExpressDock, WritingTheDeviceMakesItAKovaExpressDockAndRoutesItsPipes) {
  TUSBDevice other;
  other.SetDeviceType(tpArvennaKova6);
  dock->SetUSBDevice(&other);
  EXPECT_EQ(other.DeviceType(), tpKovaExpress);
  EXPECT_EQ(dock->USBDevice(), &other);
  dock->SetUSBDevice(device.get());
  Enable();
  QList<QByteArray> data;
  dock->OnRcvUserData = [&](QObject*, const QByteArray& bytes) { data << bytes; };
  far->QueuePacket(1, {});          // an empty read raises nothing
  far->QueuePacket(1, "ACK9");
  far->QueuePacket(0, "not an input");
  ASSERT_TRUE(Eventually([&] { return !data.isEmpty(); }));
  EXPECT_EQ(data, QList<QByteArray>{"ACK9"});
}

TEST_F(KovaExpressDock, SendStrTakesUpToOneMegabyteLessOne) {
  Enable();
  debug.clear();
  EXPECT_TRUE(dock->SendStr("ENQ"));
  EXPECT_TRUE(Eventually([&] { return far->Written(0) == "ENQ"; }));
  EXPECT_EQ(debug, QStringList{"  SendStr Result = True"});

  far->ClearWrites();
  EXPECT_FALSE(dock->SendStr(QByteArray(1048576, 'x')));
  EXPECT_TRUE(dialogs.Saw(QStringLiteral("Error, Message too long!")));

  // Only the one that fits goes out: what the pipe carries next is the
  // marker, then the message (their first bytes are enough to tell; the
  // simulated bus takes a megabyte at the pace of a real one).
  dialogs.Clear();
  EXPECT_TRUE(dock->SendStr("mark"));
  EXPECT_TRUE(dock->SendStr(QByteArray(1048575, 'x')));
  EXPECT_TRUE(Eventually([&] { return far->Written(0).startsWith("markxxxx"); }));
  EXPECT_FALSE(dialogs.Saw(QStringLiteral("Error, Message too long!")));

  dock->SetEnabled(false);
  EXPECT_FALSE(dock->SendStr("ENQ"));
  EXPECT_TRUE(dialogs.Saw(QStringLiteral("Send Error, Dock not Enabled!")));
  EXPECT_EQ(debug.last(), QStringLiteral("  SendStr Result = False"));
}

TEST_F(KovaExpressDock, UnpluggingTheDockTellsTheInstrumentHasGone) {
  Enable();
  int gone = 0;
  bool connected = false;
  dock->OnInstrumentConnected = [&](QObject*) { connected = true; };
  dock->OnInstrumentDisconnected = [&](QObject*) { ++gone; };
  far->QueuePacket(2, "EVT1");
  ASSERT_TRUE(Eventually([&] { return connected; }));
  bus.Unplug(far->Path());
  ASSERT_TRUE(Eventually([&] { return gone == 1; }));
  ProcessMessages();  // the device has stopped: anything more is queued by now
  EXPECT_EQ(gone, 1);
}

TEST_F(KovaExpressDock, FlagPropertiesAreBitsOfTheirFields) {
  dock->SetO2_Supported(true);
  dock->SetSO2_High_Supported(true);
  EXPECT_EQ(dock->GasSupportField(), (1u << 0) | (1u << 12));
  dock->SetUseDHCP(true);
  dock->SetVerboseMode(true);
  EXPECT_EQ(dock->DockOptionsField(), (0x80000000u >> 3) | (0x80000000u >> 11));
  dock->SetUseDHCP(false);
  EXPECT_EQ(dock->DockOptionsField(), 0x80000000u >> 11);
  EXPECT_FALSE(dock->VibratorInstalled());
  EXPECT_EQ(TKovaExpressDock::DockStateName(0), QStringLiteral("Cmd_Enq"));
  EXPECT_EQ(TKovaExpressDock::DockStateName(25), QStringLiteral("Cmd_WSensorEE"));
  EXPECT_TRUE(TKovaExpressDock::DockStateName(26).isEmpty());
}

// A command sent from inside the handler of instrument data (the instrument
// comes online, the session asks for "PSS") gets its reply, although the
// receive thread waits for that handler; data arriving during the command's
// wait is handed on after the command returns, never inside it.
TEST_F(KovaExpressDock, ACommandFromInsideADataHandlerGetsItsReply) {
  Enable();
  DriveClock();  // were the reply never seen, the command timer would end the wait
  Answer([this](const QByteArray& command) {
    if (command.startsWith("PSS")) far->QueuePacket(1, "during the command");
    return QByteArray("ACK");
  });
  QList<QByteArray> data;
  bool inCommand = false, pssAcked = false, dataInsideCommand = false;
  dock->OnRcvUserData = [&](QObject*, const QByteArray& bytes) {
    dataInsideCommand = dataInsideCommand || inCommand;
    data << bytes;
    if (bytes != "ACK9") return;
    inCommand = true;
    pssAcked = dock->SendPSS(0, 0);
    inCommand = false;
  };
  far->QueuePacket(1, "ACK9");
  ASSERT_TRUE(Eventually([&] { return data.size() == 2; }));
  EXPECT_TRUE(pssAcked);
  EXPECT_FALSE(dataInsideCommand);
  EXPECT_EQ(data, (QList<QByteArray>{"ACK9", "during the command"}));
}
