#pragma once

#include <QDialog>
#include <array>
#include <functional>

class QRadioButton;
class QPushButton;

namespace kelm {

class MSComm;

// "Schnittstelle": port, speed, protocol variant or demonstration mode. Every choice is written
// into the port object as it is clicked; Abbrechen puts back what was found on loading.
class Dialog : public QDialog
{
    Q_OBJECT

public:
    struct Hooks
    {
        // Runs after OK has opened the port, before the dialog closes (the status query).
        std::function<void()> afterOpen;
        // Switches the main window to demonstration mode.
        std::function<void()> showDemo;
    };

    Dialog(MSComm &port, Hooks hooks, QWidget *parent = nullptr);

    void OKButton_Click();
    void CancelButton_Click();
    void btnDemo_Click();

    QString AlteEinstellung;
    int AlterPort = 1;
    QString AlteVariante;

protected:
    void reject() override;

private:
    void Dialog_Form_Load();
    void openAndReport();

    MSComm &m_port;
    Hooks m_hooks;
    std::array<QRadioButton *, 4> m_optCOM{};
    std::array<QRadioButton *, 2> m_optBaudrate{};
    std::array<QRadioButton *, 2> m_optSoftware{};
    bool m_closing = false;
};

} // namespace kelm
