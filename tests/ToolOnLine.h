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

// The main window, whose close ends no process.
struct MainWindow : frmKELM
{
    explicit MainWindow(Clock &c = steadyClock()) : frmKELM(nullptr, c)
    {
        setEndTool([] {});
    }
};

inline void click(QWidget *parent, const QString &name)
{
    auto *button = parent->findChild<QAbstractButton *>(name);
    QVERIFY2(button, qPrintable(name));
    button->click();
}

// The real main window wired to a simulated unit over a pseudo-terminal, with every message
// box answered and kept.
struct ToolOnLine
{
    explicit ToolOnLine(Clock &c = steadyClock()) : window(c) { line.wire(window.MSComm1()); }

    sim::SimUnit &unit() { return *line.unit; }

    // Runs the start-up with the dialog answered by the named buttons, in turn.
    void start(std::initializer_list<const char *> buttons = {"OKButton"})
    {
        for (const char *name : buttons)
            watcher.dialogActions.push_back(
                [button = QString(name)](QWidget *d) { click(d, button); });
        window.Form_Load();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        (void)QTest::qWaitFor([this] { return unit().idle(); }, 3000);
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
    MainWindow window;
};

inline const QColor kYellow(0xFF, 0xFF, 0x00);
inline const QColor kGrey(0xE0, 0xE0, 0xE0);

} // namespace kelm::test
