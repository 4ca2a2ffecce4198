#pragma once

#include "TestSupport.h"
#include "app/Widgets.h"
#include "app/frmKELM.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

namespace kelm::test {

// The real main window wired to a simulated unit over a pseudo-terminal, with every message
// box answered and kept.
struct ToolOnLine
{
    explicit ToolOnLine(Clock &clock = steadyClock()) : window(nullptr, clock)
    {
        window.setEndTool([] {});
        line.wire(window.MSComm1());
    }

    sim::SimUnit &unit() { return *line.unit; }

    // Runs the start-up with the dialog answered by the named buttons, in turn.
    void start(std::initializer_list<const char *> buttons = {"OKButton"})
    {
        for (const char *name : buttons) {
            const QString button = QLatin1String(name);
            watcher.dialogActions.push_back([button](QWidget *dialog) {
                if (auto *b = dialog->findChild<QAbstractButton *>(button))
                    b->click();
            });
        }
        window.Form_Load();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        waitFor([this] { return unit().idle(); }, 3000);
    }

    template <typename T> T *child(const QString &name) const
    {
        return window.findChild<T *>(name);
    }
    Shape *led(int k) const { return child<Shape>(QStringLiteral("shpTaste%1").arg(k)); }
    Shape *mark(int k) const { return child<Shape>(QStringLiteral("shpTgedrückt%1").arg(k)); }
    QWidget *key(int k) const { return child<QWidget>(QStringLiteral("imgTaste%1").arg(k)); }
    QLineEdit *displayLine(int n) const
    {
        return child<QLineEdit>(QStringLiteral("txtDisplay%1").arg(n));
    }
    QAction *menu(const char *name) const { return child<QAction>(QLatin1String(name)); }

    std::vector<sim::Bytes> received() const { return line.unit->receivedTelegrams(); }

    UnitOnLine line;
    ModalWatcher watcher;
    frmKELM window;
};

inline const QColor kYellow(0xFF, 0xFF, 0x00);
inline const QColor kGrey(0xE0, 0xE0, 0xE0);

} // namespace kelm::test
