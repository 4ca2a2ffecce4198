// The telegram builders, byte for byte.
#include "device/Telegramme.h"

#include <QTest>

using namespace kelm;

namespace {
QByteArray b(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}
} // namespace

class TelegramTest : public QObject
{
    Q_OBJECT

private slots:
    void displayLine_data();
    void displayLine();
    void charactersOutsideTheConversion();
};

void TelegramTest::displayLine_data()
{
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("blink");
    QTest::addColumn<bool>("inverse");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("empty line 3") << 3 << "" << false << false
                                  << b({0x6C, 0x43, 0x41, 0x27, 0x33, 0x30, 0x29});
    QTest::newRow("AB both") << 0 << "AB" << true << true
                             << b({0x6C, 0x42, 0x40, 0x27, 0x30, 0x30, 0xA1, 0xA2, 0x29});
    QTest::newRow("blank and star")
        << 1 << " *" << false << true << b({0x6C, 0x43, 0x40, 0x27, 0x31, 0x30, 0x80, 0x8A, 0x29});
}

void TelegramTest::displayLine()
{
    QFETCH(int, line);
    QFETCH(QString, text);
    QFETCH(bool, blink);
    QFETCH(bool, inverse);
    QFETCH(QByteArray, expected);
    QCOMPARE(Telegramm::displayLine(line, text, blink, inverse), expected);
}

void TelegramTest::charactersOutsideTheConversion()
{
    // 13 characters close with 0x29; 14 and 15 go without it.
    QCOMPARE(Telegramm::displayLine(0, QString(13, 'x'), false, false).size(), 20);
    QCOMPARE(Telegramm::displayLine(0, QString(13, 'x'), false, false).back(), char(0x29));
    QCOMPARE(Telegramm::displayLine(0, QString(14, 'x'), false, false).size(), 20);
    QCOMPARE(Telegramm::displayLine(0, QString(15, 'x'), false, false).size(), 21);
    QCOMPARE(Telegramm::displayLine(0, QString(15, 'x'), false, false).back(), char(0x78 + 0x60));
    // Codes up to 0x9F still fit one byte; above that they go as "*" and never wrap.
    QCOMPARE(int(Telegramm::displayCode(QChar(0x7F))), 0xDF);
    QCOMPARE(int(Telegramm::displayCode(QChar(0x9F))), 0xFF);
    QCOMPARE(int(Telegramm::displayCode(QChar(0xE4))), 0x8A);
    QCOMPARE(int(Telegramm::displayCode(QChar(0x20AC))), 0x8A);
}

QTEST_APPLESS_MAIN(TelegramTest)
#include "tst_telegrams.moc"
