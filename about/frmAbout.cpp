#include "about/frmAbout.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtMath>
#include <algorithm>

namespace kelm {

namespace {
QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

// The labels keep their designed heights; with a face of tall metrics the text gets smaller
// rather than cut off at the top and bottom.
void fitHeight(QLabel *label, QFont font, int largestPx)
{
    for (int px = largestPx; px > 6; --px) {
        font.setPixelSize(px);
        if (QFontMetrics(font).height() <= label->height())
            break;
    }
    label->setFont(font);
}
} // namespace

frmAbout::frmAbout(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(5730 / 15, 3450 / 15);

    auto *picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setGeometry(twips(240, 240, 540, 540));
    picIcon->setPixmap(QApplication::windowIcon().pixmap(36, 36));

    m_lblTitle = new QLabel(QStringLiteral("Anwendungstitel"), this);
    m_lblTitle->setObjectName(QStringLiteral("lblTitle"));
    m_lblTitle->setGeometry(twips(1050, 240, 3885, 480));
    QFont titleFont = m_lblTitle->font();
    titleFont.setBold(true);
    fitHeight(m_lblTitle, titleFont, 19); // 14 points

    m_lblVersion = new QLabel(QStringLiteral("Version"), this);
    m_lblVersion->setObjectName(QStringLiteral("lblVersion"));
    m_lblVersion->setGeometry(twips(1050, 780, 3885, 225));
    fitHeight(m_lblVersion, m_lblVersion->font(), QFontInfo(m_lblVersion->font()).pixelSize());

    auto *label1 = new QLabel(QStringLiteral("07 Januar 2002"), this);
    label1->setObjectName(QStringLiteral("Label1"));
    label1->setGeometry(twips(1050, 1080, 3885, 225));
    fitHeight(label1, label1->font(), QFontInfo(label1->font()).pixelSize());

    auto *text1 = new QPlainTextEdit(this);
    text1->setObjectName(QStringLiteral("Text1"));
    text1->setGeometry(twips(1050, 1440, 4440, 1140));
    text1->setReadOnly(true);
    // Five lines of address fit the designed height without a scroll bar or touching the edge.
    text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text1->document()->setDocumentMargin(3);
    QFont addressFont = text1->font();
    for (int px = 13; px > 8; --px) {
        addressFont.setPixelSize(px);
        // A line is as high as the text layout makes it: ascent, descent and any positive leading,
        // rounded up together. The font's line spacing rounds each part on its own and can come
        // out a pixel less, and the fifth line would then touch the edge.
        const QFontMetricsF m(addressFont);
        const int line = qCeil(m.ascent() + m.descent() + std::max(0.0, m.leading()));
        if (5 * line + 2 * 3 + 2 * text1->frameWidth() + 2 <= text1->height())
            break;
    }
    text1->setFont(addressFont);
    text1->setPlainText(QStringLiteral("Morvane Bediensysteme GmbH\n"
                                       "Am Kesselhaus 7\n"
                                       "D-99999 Lindenau\n"
                                       "www.morvane.example\n"
                                       "service@morvane.example"));

    // The separator: a grey line with a white one beneath it.
    auto *line1 = new QFrame(this);
    line1->setObjectName(QStringLiteral("Line1"));
    line1->setGeometry(twips(240, 2700, 5250, 30));
    line1->setAutoFillBackground(true);
    line1->setStyleSheet(
        QStringLiteral("background: rgb(128,128,128); border-bottom: 1px solid white;"));

    auto *cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(twips(4245, 2880, 1260, 345));
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::close);

    Form_Load();
}

void frmAbout::Form_Load()
{
    const QString title = QApplication::applicationName();
    setWindowTitle(QStringLiteral("Info zu ") + title);
    m_lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                              .arg(KELM_VERSION_MAJOR)
                              .arg(KELM_VERSION_MINOR)
                              .arg(KELM_VERSION_PATCH));
    m_lblTitle->setText(title);
}

} // namespace kelm
