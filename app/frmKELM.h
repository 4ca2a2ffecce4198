#pragma once

#include "device/DevicePanel.h"
#include "link/EventPump.h"
#include "station/Station.h"

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <functional>
#include <memory>

class QAction;
class QCheckBox;
class QLabel;
class QTimer;

namespace kelm {

class DisplayLine;
class Dialog;
class KeyTarget;
class Shape;
class UnitFront;
class V24Mon;
class frmAbout;

// "Morvane KELM", the main window: the picture of the unit, the run state and the menus. Its
// handlers are short; the link and the device procedures do the work.
class frmKELM : public QMainWindow, public DevicePanel
{
    Q_OBJECT

public:
    // Tests pass a clock of their own to skip the pauses of the continuous test.
    explicit frmKELM(QWidget *parent = nullptr, Clock &clock = steadyClock());
    ~frmKELM() override;

    // The start-up sequence, run before the window is first shown: the modal configuration
    // dialog, then the detection of the unit.
    void Form_Load();

    // Public operations for the link and the device procedures.
    void Statusabfrage();
    void TasteSetzen(std::uint8_t &Taste) override;
    void DisplayQuittung(std::uint8_t &Quittung) override;

    void imgTaste_Click(int Index);
    void imgTaste_DblClick(int Index);
    void txtDisplay_KeyPress(int Index, int &KeyAscii);
    void Timer1_Timer();
    void mnuDauertest_Click();
    void mnuReset_Click();
    void mnuKonfig_Click();
    void mnuInfo_Click();
    void mnuMonitorEA_Click();
    // Records the line into a journal file, or stops recording.
    void mnuMitschnitt_Click();
    void mnuBeenden_Click();

    // LinkHost and DevicePanel.
    bool demoMode() const override;
    void showMessage(const QString &text) override;
    void pumpEvents() override;
    void setDemoMode(bool on) override;
    bool dauertestTicked() const override;
    void setDauertestTicked(bool on) override;
    bool ledLit(int key) const override;
    void setLedLit(int key, bool lit) override;
    void setLedYellow(int key, bool yellow) override;
    void setDisplayBoxEnabled(int line, bool enabled) override;
    void setDisplayBoxText(int line, const QString &text) override;
    void setDisplayBoxCentred(int line, bool centred) override;

    MSComm &MSComm1() { return m_comm; }
    mod3964R &link() { return m_link; }
    KELM &device() { return m_kelm; }
    // The traffic monitor, created on first use.
    V24Mon &V24Monitor();
    QPointer<Dialog> configDialog() const { return m_dialog; }
    TrafficJournal &journal() { return m_journal; }
    Station &station() { return m_station; }
    // Tests choose the journal's file here instead of in a file dialog; empty cancels.
    void setJournalFileProvider(std::function<QString()> provider)
    {
        m_journalFile = std::move(provider);
    }

    std::uint8_t LetzteTaste = 0;

    // What closing the window does after the port is closed; tests keep their event loop.
    void setEndTool(std::function<void()> endTool) { m_endTool = std::move(endTool); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    class MonitorSink;

    void buildControls();
    void buildMenus();
    void fillDisplayLines();
    void showDialogModal();
    Dialog *newDialog();
    void setSelectorLabel(QLabel *label, int position);
    void rememberMonitor();
    void startJournal(const QString &path);
    void showFileFailure(const QString &path, const QString &reason);
    // A message box (icon as QMessageBox::Icon) owned by the window in front.
    void showBox(int icon, const QString &text);

    EventPump m_pump;
    std::unique_ptr<MonitorSink> m_monitorSink;
    Station m_station;
    // Short names for the station's parts, which the handlers use throughout.
    MSComm &m_comm;
    TrafficJournal &m_journal;
    mod3964R &m_link;
    KELM &m_kelm;

    UnitFront *m_front = nullptr;
    std::array<DisplayLine *, 8> m_txtDisplay{};
    std::array<Shape *, 12> m_shpTaste{};
    std::array<Shape *, 12> m_shpTgedrueckt{};
    std::array<KeyTarget *, 12> m_imgTaste{};
    QCheckBox *m_chkBlinken = nullptr;
    QCheckBox *m_chkInvers = nullptr;
    QLabel *m_lblWS1 = nullptr;
    QLabel *m_lblWS2 = nullptr;
    QLabel *m_lblDemo = nullptr;
    QTimer *m_timer1 = nullptr;

    QAction *m_mnuDauertest = nullptr;
    QAction *m_mnuMonitorEA = nullptr;
    QAction *m_mnuMitschnitt = nullptr;
    std::function<QString()> m_journalFile;

    std::unique_ptr<V24Mon> m_monitor;
    QPointer<Dialog> m_dialog;
    QPointer<frmAbout> m_about;
    std::function<void()> m_endTool;
    int m_pumpDepth = 0;
};

} // namespace kelm
