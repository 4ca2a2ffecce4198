// The unit's reports on the real main window: any sequence of key, selector and
// acknowledgement bytes leaves at most one pressed mark and sensible read-outs.
#include "app/Widgets.h"
#include "app/frmKELM.h"

#include <QApplication>
#include <QLabel>
#include <cstdio>
#include <cstdlib>

using namespace kelm;

namespace {
QApplication *app = nullptr;
frmKELM *window = nullptr;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app = new QApplication(*argc, *argv);
    window = new frmKELM;
    window->setEndTool([] {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        std::uint8_t value = data[i + 1];
        if (data[i] & 1) {
            window->DisplayQuittung(value);
            check(window->device().QuittungsCode == std::int16_t(data[i + 1] - 0x30),
                  "acknowledgement code");
        } else {
            window->TasteSetzen(value);
        }
        int marks = 0;
        for (int k = 0; k < 12; ++k)
            marks += window->findChild<Shape *>(QStringLiteral("shpTgedrückt%1").arg(k))->filled();
        check(marks <= 1, "at most one pressed mark");
        check(window->LetzteTaste <= 12, "last key within 0 to 12");
        for (const char *name : {"lblWS1", "lblWS2"}) {
            const int p = window->findChild<QLabel *>(QLatin1String(name))->text().toInt();
            check(p >= 0 && p <= 12, "selector position within 0 to 12");
        }
    }
    return 0;
}
