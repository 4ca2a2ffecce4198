#pragma once

#include "sim/SimUnit.h"

#include <QWidget>
#include <array>

class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTimer;

namespace kelm::sim {

class UnitFace;

// The simulated unit on screen: its display and LEDs as the telegrams set them, its keys and
// selectors, a panel of line faults and a log of the blocks that passed.
class UnitWindow : public QWidget
{
    Q_OBJECT

public:
    UnitWindow(SimUnit &unit, const QString &lineName, QWidget *parent = nullptr);

    // The three bytes the unit answers the status query with, from its keys and selectors.
    Bytes statusReply() const;
    QPushButton *keyButton(int k) const { return m_keys[k]; }
    QSpinBox *selector(int n) const { return n == 1 ? m_selector1 : m_selector2; }
    QPlainTextEdit *logView() const { return m_log; }

private:
    void keyPressed(int k);
    void keyReleased();
    void selectorTurned(int n, int position);
    void refresh();

    SimUnit &m_unit;
    UnitFace *m_face = nullptr;
    std::array<QPushButton *, 12> m_keys{};
    QSpinBox *m_selector1 = nullptr;
    QSpinBox *m_selector2 = nullptr;
    QPlainTextEdit *m_log = nullptr;
    QTimer *m_refresh = nullptr;
    int m_pressedKey = -1;
    int m_ticks = 0;
};

// Opens a serial device for the unit: raw, 8 data bits, even parity, one stop bit, the given
// speed. Returns the descriptor, or -1 with a reason in *error.
int openUnitLine(const QString &device, int baud, QString *error);

} // namespace kelm::sim
