#include <gtest/gtest.h>

#include <QAction>

#include "app/WindowTestSupport.h"

using namespace zelvo;

using test::Window;

TEST(TfrmMain, ControlsStartAsDesigned) {
  Window w;
  TfrmMain& f = w.main;
  EXPECT_EQ(f.windowTitle(), QStringLiteral("ZelvoPro Flash Upload Utility "));
  struct Expect { QWidget* widget; const char* name; bool visible; };
  const Expect controls[] = {
      {f.lblStatus, "lblStatus", true},       {f.gbInstrInfo, "gbInstrInfo", true},
      {f.lblInstrType, "lblInstrType", true}, {f.lblInstFlashVer, "lblInstFlashVer", true},
      {f.lblNewFlash, "lblNewFlash", true},   {f.lblFlashFileDate, "lblFlashFileDate", true},
      {f.cbStart, "cbStart", true},           {f.cbStop, "cbStop", true},
      {f.cbLoadFile, "cbLoadFile", false},    {f.panGauge, "panGauge", true},
      {f.gauProgress, "gauProgress", true},   {f.panLED, "panLED", true},
      {f.ledTX, "ledTX", true},               {f.ledRX, "ledRX", true},
      {f.lblPageNum, "lblPageNum", true},     {f.lblFlashAdr, "lblFlashAdr", true},
      {f.lblFlashTime, "lblFlashTime", true}, {f.Rev, "Rev", true},
      {f.imgInstr, "imgInstr", true},         {f.imgKovaxDock, "imgKovaxDock", false},
      {f.chkUseKovax, "chkUseKovax", false},  {f.UseWeb, "UseWeb", false},
      {f.cboUSBDocks, "cboUSBDocks", false},  {f.IpAddr, "IpAddr", false},
      {f.lblNetwrkDocks, "lblNetwrkDocks", false}, {f.cboNetDockList, "cboNetDockList", false},
  };
  f.show();
  for (const Expect& c : controls) {
    EXPECT_EQ(c.widget->objectName(), QLatin1String(c.name));
    EXPECT_EQ(c.widget->isVisible(), c.visible) << c.name;
  }
  EXPECT_EQ(f.lblStatus->text(), QStringLiteral("Waiting"));
  EXPECT_EQ(f.lblStatus->font().pixelSize(), 19);
  EXPECT_EQ(f.lblStatus->palette().color(QPalette::WindowText), QColor(Qt::blue));
  EXPECT_EQ(f.gbInstrInfo->title(), QStringLiteral("Instrument Information"));
  EXPECT_EQ(f.lblInstrType->text(), QStringLiteral("Type:"));
  EXPECT_EQ(f.lblInstFlashVer->text(), QStringLiteral("Flash Version:"));
  EXPECT_EQ(f.lblNewFlash->text(), QStringLiteral("Upgrading to:"));
  EXPECT_EQ(f.lblFlashFileDate->text(), QStringLiteral("(Flash Date)"));
  EXPECT_TRUE(f.cbStart->isEnabled());
  EXPECT_FALSE(f.cbStop->isEnabled());
  EXPECT_EQ(f.cbLoadFile->text(), QStringLiteral("Load File"));
  EXPECT_EQ(f.gauProgress->minimum(), 0);
  EXPECT_EQ(f.gauProgress->maximum(), 100);
  EXPECT_EQ(f.gauProgress->value(), 0);
  EXPECT_TRUE(f.gauProgress->isTextVisible());
  EXPECT_FALSE(f.ledTX->Lit());
  EXPECT_FALSE(f.ledRX->Lit());
  EXPECT_EQ(f.lblPageNum->text(), QStringLiteral("Sending PAGE"));
  EXPECT_EQ(f.lblFlashAdr->text(), QStringLiteral("Address:"));
  EXPECT_EQ(f.lblFlashTime->text(), QStringLiteral("Time"));
  EXPECT_TRUE(f.Rev->font().italic());
  EXPECT_FALSE(f.chkUseKovax->isChecked());
  EXPECT_EQ(f.chkUseKovax->text(), QStringLiteral("Use Kova Express"));
  EXPECT_EQ(f.UseWeb->text(), QStringLiteral("Use Web"));
  EXPECT_EQ(f.IpAddr->text(), QStringLiteral("192.168.10.100"));
  EXPECT_EQ(f.lblNetwrkDocks->text(), QStringLiteral("Ethernet Availiable Docks List"));
  EXPECT_EQ(f.cboUSBDocks->count(), 0);
  EXPECT_EQ(f.cboNetDockList->count(), 0);
  EXPECT_FALSE(w.debug.isVisible());
  EXPECT_EQ(w.debug.windowTitle(), QStringLiteral("Debug Window"));
}

TEST(TfrmMain, TimersMenuAndVersionReaderAsDesigned) {
  Window w;
  TfrmMain& f = w.main;
  for (TTimer* timer : {f.tmrInstrCon, f.tmrInstrDisc}) {
    EXPECT_EQ(timer->Interval(), 100);
    EXPECT_FALSE(timer->Enabled());
  }
  EXPECT_EQ(f.tmrDockLCDUpd->Interval(), 1000);
  EXPECT_FALSE(f.tmrDockLCDUpd->Enabled());
  EXPECT_EQ(f.AppInfo->LangId(), QStringLiteral("0409"));
  EXPECT_EQ(f.KelLink1->InstrumentType(), TKelType::tpZelvoPro);
  EXPECT_EQ(f.KelLink1->RS232Port(), 1);
  EXPECT_EQ(f.KelLink1->RS232BaudRate(), 115200);
  EXPECT_EQ(f.KelLink1->DefaultTimeOut(), 30);
  EXPECT_EQ(f.KelLink1->Logging(), TTraceLogState::tlOff);
  EXPECT_FALSE(f.KelLink1->Connected());
  EXPECT_EQ(f.ZelvoPro1->KelLink(), f.KelLink1);
  EXPECT_EQ(f.ZelvoPro1->TimeOut(), 5);
  EXPECT_FALSE(f.ZelvoPro1->StandardClamping() || f.ZelvoPro1->CalDueLockOut());
  EXPECT_EQ(f.USBDevice1->ReceiveBufferSize(), szAuto);
  EXPECT_EQ(f.USBDevice1->DeviceType(), tpKovaExpress);
  EXPECT_FALSE(f.USBDevice1->UseWindowsMsgs());
  EXPECT_TRUE(static_cast<bool>(f.USBDevice1->DebugOnPipeData));
  EXPECT_TRUE(f.USBDevice1->DeviceList().isEmpty());  // no dock on this machine
  const QList<QAction*> items = f.PopupMenu1->actions();
  ASSERT_EQ(items.size(), 3);
  EXPECT_EQ(items[0]->text(), QStringLiteral("Debug Window"));
  EXPECT_TRUE(items[1]->isChecked()) << "the restart check is on unless turned off";
  EXPECT_EQ(items[2]->text(), QStringLiteral("Exit"));
  items[0]->trigger();
  EXPECT_TRUE(w.debug.isVisible());
}

TEST(TfrmMain, CaptionAndRevisionComeFromTheVersionBlock) {
  Window w;
  w.main.show();  // this test program carries the same block as the utility
  EXPECT_EQ(w.main.windowTitle(), QStringLiteral("ZelvoPro Flash Upload Utility 8.2"));
  EXPECT_EQ(w.main.Rev->text(), QStringLiteral("Revision 1"));
  w.main.hide();
  w.main.show();  // shown again: completed once only
  EXPECT_EQ(w.main.windowTitle(), QStringLiteral("ZelvoPro Flash Upload Utility 8.2"));
}

TEST(TfrmMain, TraceLinesAndLEDsSwapAfterEveryMessage) {
  Window w;
  TfrmMain& f = w.main;
  f.KelLink1DebugSend(nullptr, QByteArray("\xE6" "ENQ" "\xE7", 5));
  EXPECT_TRUE(f.ledRX->Lit());
  EXPECT_FALSE(f.ledTX->Lit());
  f.KelLink1DebugReceive(nullptr, QByteArray("\xE6" "ACK" "\xE7", 5));
  EXPECT_FALSE(f.ledRX->Lit());
  EXPECT_TRUE(f.ledTX->Lit());
  f.KelLink1DebugReceive(nullptr, "x");
  EXPECT_TRUE(f.ledRX->Lit());
  EXPECT_FALSE(f.ledTX->Lit());
  EXPECT_EQ(f.ledRX->CurrentColor(), QColor(Qt::red));
  EXPECT_EQ(f.ledTX->CurrentColor(), QColor(Qt::green));
  // A reply cannot pass for lines of its own.
  f.KelLink1DebugReceive(nullptr, "\r\nSND#STB#\n\\");

  const QStringList lines = w.debug.Debug->toPlainText().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 4);
  EXPECT_EQ(lines[0], QString::fromLatin1("SND#\xE6" "ENQ" "\xE7#"));
  EXPECT_EQ(lines[1], QString::fromLatin1("RCV#\xE6" "ACK" "\xE7#"));
  EXPECT_EQ(lines[2], QStringLiteral("RCV#x#"));
  EXPECT_EQ(lines[3], QStringLiteral(R"(RCV#\r\nSND\#STB\#\n\\#)"));
}
