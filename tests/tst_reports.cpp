// The unit's key, selector and acknowledgement reports on the main window.
#include "ToolOnLine.h"

using namespace kelm;

class ReportsTest : public QObject
{
    Q_OBJECT

private slots:
    void keyReportsMoveTheMark();
    void selectorReports();
    void otherCodesChangeNothing();
    void acknowledgementCodes();
};

void ReportsTest::keyReportsMoveTheMark()
{
    frmKELM w;
    w.setEndTool([] {});
    auto mark = [&](int k) {
        return w.findChild<Shape *>(QStringLiteral("shpTgedrückt%1").arg(k));
    };
    auto shown = [&] {
        QList<int> s;
        for (int k = 0; k < 12; ++k)
            if (mark(k)->filled())
                s << k;
        return s;
    };
    std::uint8_t c = 0x30;
    w.TasteSetzen(c);
    QCOMPARE(shown(), QList<int>());
    c = 0x33;
    w.TasteSetzen(c);
    QCOMPARE(shown(), QList<int>{2});
    c = 0x35;
    w.TasteSetzen(c);
    QCOMPARE(shown(), QList<int>{4});
    QCOMPARE(int(w.LetzteTaste), 5);
    c = 0x30;
    w.TasteSetzen(c);
    QCOMPARE(shown(), QList<int>());
    QCOMPARE(int(w.LetzteTaste), 5);
    c = 0x31;
    w.TasteSetzen(c);
    w.TasteSetzen(c);
    QCOMPARE(shown(), QList<int>{0});
    c = 0x3C;
    w.TasteSetzen(c);
    QCOMPARE(shown(), QList<int>{11});
    // A key report never touches the LED squares.
    QCOMPARE(w.findChild<Shape *>("shpTaste11")->fillColor(), test::kGrey);
}

void ReportsTest::selectorReports()
{
    frmKELM w;
    w.setEndTool([] {});
    std::uint8_t c = 0x41;
    w.TasteSetzen(c);
    c = 0x5C;
    w.TasteSetzen(c);
    QCOMPARE(w.findChild<QLabel *>("lblWS1")->text(), QStringLiteral("1"));
    QCOMPARE(w.findChild<QLabel *>("lblWS2")->text(), QStringLiteral("12"));
    // Two digits are shown whole, not cut to the designed width.
    QVERIFY(w.findChild<QLabel *>("lblWS2")->width() >=
            w.findChild<QLabel *>("lblWS2")->sizeHint().width());
    c = 0x4C;
    w.TasteSetzen(c);
    QCOMPARE(w.findChild<QLabel *>("lblWS1")->text(), QStringLiteral("12"));
}

void ReportsTest::otherCodesChangeNothing()
{
    frmKELM w;
    w.setEndTool([] {});
    for (int code : {0x00, 0x3D, 0x40, 0x4D, 0x50, 0x5D, 0xFF}) {
        std::uint8_t c = std::uint8_t(code);
        w.TasteSetzen(c);
    }
    QCOMPARE(w.findChild<QLabel *>("lblWS1")->text(), QStringLiteral("0"));
    QCOMPARE(w.findChild<QLabel *>("lblWS2")->text(), QStringLiteral("0"));
    QCOMPARE(int(w.LetzteTaste), 0);
    for (int k = 0; k < 12; ++k)
        QVERIFY(!w.findChild<Shape *>(QStringLiteral("shpTgedrückt%1").arg(k))->filled());
}

void ReportsTest::acknowledgementCodes()
{
    frmKELM w;
    w.setEndTool([] {});
    std::uint8_t q = 0x30;
    w.DisplayQuittung(q);
    QCOMPARE(w.device().QuittungsCode, std::int16_t(0));
    q = 0x31;
    w.DisplayQuittung(q);
    QCOMPARE(w.device().QuittungsCode, std::int16_t(1));
    q = 0x10;
    w.DisplayQuittung(q);
    QCOMPARE(w.device().QuittungsCode, std::int16_t(-32));
}

QTEST_MAIN(ReportsTest)
#include "tst_reports.moc"
