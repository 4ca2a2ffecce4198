// Renders the main window and the configuration dialog offscreen into PNG files for the
// README: kelm_screenshots OUTPUT_DIR
#include "app/Widgets.h"
#include "app/frmKELM.h"
#include "config/Dialog.h"
#include "monitor/V24Mon.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KELM"));
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);

    kelm::frmKELM window;
    window.setEndTool([] {});
    // A few operations in demonstration mode: lit, blinking, a line typed, a reported key.
    window.imgTaste_Click(1);
    window.imgTaste_Click(6);
    window.device().LEDBlinkenSetzen(9);
    window.findChild<QLineEdit *>(QStringLiteral("txtDisplay0"))
        ->setText(QStringLiteral("KELM 4.1.0"));
    window.findChild<QLineEdit *>(QStringLiteral("txtDisplay2"))
        ->setText(QStringLiteral("Hallo Welt"));
    std::uint8_t report = 0x35;
    window.TasteSetzen(report);
    report = 0x47;
    window.TasteSetzen(report);
    report = 0x53;
    window.TasteSetzen(report);
    window.show();
    QApplication::processEvents();
    if (!window.grab().save(out + QStringLiteral("/kelm-main.png")))
        return 1;

    // Capitals and descenders in a line with another below it and in the last line: both must
    // show whole glyphs, whatever the monospace face.
    for (const char *name : {"txtDisplay1", "txtDisplay7"})
        window.findChild<QLineEdit *>(QLatin1String(name))->setText(QStringLiteral("Hgpqy"));
    QApplication::processEvents();
    if (!window.centralWidget()
             ->grab(QRect(64, 50, 217, 148))
             .scaled(434, 296)
             .save(out + QStringLiteral("/kelm-display-glyphs.png")))
        return 1;

    // The traffic monitor with two exchanges, as the link would record them.
    kelm::V24Mon &monitor = window.V24Monitor();
    monitor.show();
    const int exchange[][2] = {{0, 2},   {1, 16},  {0, '#'},  {0, 16},  {0, 3},    {0, 48},
                               {1, 16},  {1, 2},   {0, 16},   {1, '1'}, {1, 'A'},  {1, 'Q'},
                               {1, 16},  {1, 3},   {1, 0x62}, {0, 16},  {0, 2},    {1, 16},
                               {0, 'l'}, {0, '+'}, {0, 16},   {0, 3},   {0, 0x44}, {1, 16}};
    for (const auto &[direction, value] : exchange)
        monitor.V24MonWriteBuf(std::uint8_t(direction), std::uint8_t(value));
    monitor.mnuShowHex_Click();
    QApplication::processEvents();
    if (!monitor.grab().save(out + QStringLiteral("/kelm-monitor.png")))
        return 1;
    monitor.hide();

    kelm::Dialog dialog(window.MSComm1(), {});
    dialog.show();
    QApplication::processEvents();
    if (!dialog.grab().save(out + QStringLiteral("/kelm-dialog.png")))
        return 1;
    return 0;
}
