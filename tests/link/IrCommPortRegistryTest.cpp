// Windows: the IrCOMM port read from the registry itself when no mirror is
// set, and serial ports named COMn.
#include <gtest/gtest.h>

#include <QSettings>

#include "link/IrCommPort.h"
#include "LinkTestSupport.h"

using namespace zelvo;

namespace {

const QString kPieKey = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\PIE_IrDA Infrared");

// The infrared stack's parameters, written for the test and removed after it.
class PieStackValues {
 public:
  explicit PieStackValues(const QString& irComm) {
    QSettings(kPieKey + QStringLiteral("\\1.0\\Parameters"), QSettings::NativeFormat)
        .setValue(QStringLiteral("IrComm"), irComm);
  }
  ~PieStackValues() { QSettings(kPieKey, QSettings::NativeFormat).remove(QString()); }
};

}  // namespace

TEST(IrCommPortRegistry, WithoutAMirrorTheRegistryIsRead) {
  ASSERT_TRUE(RegistryMirrorPath().isEmpty());
  EXPECT_EQ(IrCommPortSource(), "the registry");
  EXPECT_EQ(SerialPortName(3), "COM3");
  {
    const PieStackValues values(QStringLiteral("COM6"));
    EXPECT_EQ(ReadMachineString("Software\\PIE_IrDA Infrared\\1.0\\Parameters", "IrComm"), "COM6");
    EXPECT_EQ(FindIrCommPort(), 6);
    // A mirror set by the program stands in for the registry.
    test::TempMirror mirror("[Software\\PIE_IrDA Infrared\\1.0\\Parameters]\nIrComm=COM7\n[Ports]\nCOM7=COM12\n");
    EXPECT_EQ(FindIrCommPort(), 7);
    EXPECT_EQ(SerialPortName(7), "COM12");
  }
  EXPECT_EQ(FindIrCommPort(), 0);
}
