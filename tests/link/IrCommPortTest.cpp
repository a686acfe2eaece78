// The IrCOMM virtual port lookup in the registry mirror, and port names.
#include <gtest/gtest.h>

#include "link/IrCommPort.h"
#include "LinkTestSupport.h"

using namespace zelvo;
using zelvo::test::TempMirror;

TEST(IrCommPort, PortNameRule) {
  EXPECT_EQ(IrCommPortFromName("COM4"), 4);
  EXPECT_EQ(IrCommPortFromName("COM8"), 8);
  EXPECT_EQ(IrCommPortFromName("5"), 5);      // a part of "COM5"
  EXPECT_EQ(IrCommPortFromName("COM"), 4);    // first match wins
  EXPECT_EQ(IrCommPortFromName("COM3"), 0);
  EXPECT_EQ(IrCommPortFromName("COM10"), 0);
  EXPECT_EQ(IrCommPortFromName(""), 0);
  EXPECT_EQ(IrCommPortFromName("com4"), 0);
}

TEST(IrCommPort, VersionSelectsTheEnumKey) {
  TempMirror mirror(
      "; machine hive\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\n"
      "Version=\"Windows 95\"\n"
      "[Enum\\Infrared\\com\\Root&Infrared&0000]\n"
      "PortName=COM5\n"
      "[Software\\PIE_IrDA Infrared\\1.0\\Parameters]\n"
      "IrComm=COM7\n");
  EXPECT_EQ(ReadMachineString("software\\microsoft\\windows\\currentversion", "VERSION"), "Windows 95");
  EXPECT_EQ(FindIrCommPort(), 5);
}

TEST(IrCommPort, WithoutVersionThePieKeyIsRead) {
  TempMirror mirror(
      "[Software\\PIE_IrDA Infrared\\1.0\\Parameters]\n"
      "IrComm = COM7\n"
      "[Enum\\Infrared\\com\\Root&Infrared&0000]\n"
      "PortName=COM5\n");
  EXPECT_EQ(FindIrCommPort(), 7);
}

TEST(IrCommPort, MissingOrOddValuesGiveNoPort) {
  {
    TempMirror mirror("[Software\\PIE_IrDA Infrared\\1.0\\Parameters]\nIrComm=COM12\n");
    EXPECT_EQ(FindIrCommPort(), 0);
  }
  {
    TempMirror mirror("garbage without sections\n=\n[\n[]\nx\n");
    EXPECT_EQ(FindIrCommPort(), 0);
    EXPECT_EQ(ReadMachineString("", ""), "");
  }
  SetRegistryMirrorPath("/nonexistent/registry.ini");
  EXPECT_EQ(FindIrCommPort(), 0);
  SetRegistryMirrorPath("/dev/zero");  // endless: never read
  EXPECT_EQ(FindIrCommPort(), 0);
  SetRegistryMirrorPath({});
  EXPECT_EQ(RegistryMirrorPath(), DefaultRegistryMirror());
}

TEST(IrCommPort, SerialPortNames) {
  TempMirror mirror("[Ports]\nCOM4=/dev/pts/99\n2=/dev/ttyUSB0\n");
  EXPECT_EQ(SerialPortName(4), "/dev/pts/99");
  EXPECT_EQ(SerialPortName(2), "/dev/ttyUSB0");
  EXPECT_EQ(SerialPortName(1), NativeSerialPortName(1));  // no entry: the platform's name
  EXPECT_EQ(SerialPortName(0), "");
}
