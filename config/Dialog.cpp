#include "config/Dialog.h"

#include "config/Remembered.h"
#include "link/MSComm.h"

#include <QGroupBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

namespace kelm {

namespace {
const QString k9600 = QStringLiteral("9600,e,8,1");
const QString k19200 = QStringLiteral("19200,e,8,1");
const QString kStx = QStringLiteral("STX");

// The layout is given in twips; 15 twips are one pixel.
QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

QGroupBox *frame(QWidget *parent, const char *name, const QString &caption, QRect rect)
{
    auto *box = new QGroupBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(rect);
    return box;
}

QRadioButton *option(QWidget *parent, const QString &name, const QString &caption, QRect rect)
{
    auto *button = new QRadioButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(rect);
    return button;
}

void showKelmMessage(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("KELM"), text, QMessageBox::Ok, parent);
    box.exec();
}
} // namespace

Dialog::Dialog(MSComm &port, Hooks hooks, QWidget *parent)
    : QDialog(parent), m_port(port), m_hooks(std::move(hooks))
{
    setObjectName(QStringLiteral("Dialog"));
    setWindowTitle(QStringLiteral("Schnittstelle"));
    setFixedSize(5745 / 15, 3195 / 15);

    auto *schnittstelle = frame(this, "frmSchnittstelle", QStringLiteral("Schnittstelle"),
                                twips(240, 360, 1455, 1935));
    for (int i = 0; i < 4; ++i) {
        m_optCOM[i] =
            option(schnittstelle, QStringLiteral("optCOM%1").arg(i),
                   QStringLiteral("Com %1").arg(i + 1), twips(240, 360 + 360 * i, 1095, 315));
        m_optCOM[i]->setToolTip(m_port.deviceFor(i + 1));
        connect(m_optCOM[i], &QRadioButton::clicked, this,
                [this, i] { m_port.setCommPort(i + 1); });
    }

    auto *baudrate =
        frame(this, "frmBaudrate", QStringLiteral("Baudrate"), twips(2040, 360, 1455, 1455));
    m_optBaudrate[0] = option(baudrate, QStringLiteral("optBaudrate0"), QStringLiteral("9600"),
                              twips(240, 360, 1095, 315));
    m_optBaudrate[1] = option(baudrate, QStringLiteral("optBaudrate1"), QStringLiteral("19200"),
                              twips(240, 960, 1095, 315));
    connect(m_optBaudrate[0], &QRadioButton::clicked, this, [this] { m_port.setSettings(k9600); });
    connect(m_optBaudrate[1], &QRadioButton::clicked, this, [this] { m_port.setSettings(k19200); });

    auto *protokoll = frame(this, "frmProtokoll", QStringLiteral("Software IdentNr."),
                            twips(3840, 360, 1575, 1935));
    m_optSoftware[1] = option(protokoll, QStringLiteral("optSoftware1"),
                              QStringLiteral("100101\n100102\n100103"), twips(240, 240, 1095, 735));
    m_optSoftware[0] = option(protokoll, QStringLiteral("optSoftware0"),
                              QStringLiteral("100201\n100202\n100203"), twips(240, 960, 975, 735));
    connect(m_optSoftware[0], &QRadioButton::clicked, this, [this] { m_port.setTag(kStx); });
    connect(m_optSoftware[1], &QRadioButton::clicked, this, [this] { m_port.setTag(QString()); });

    auto button = [this](const char *name, const QString &caption, QRect rect) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(rect);
        b->setAutoDefault(false);
        return b;
    };
    QPushButton *ok = button("OKButton", QStringLiteral("OK"), twips(360, 2640, 1215, 375));
    QPushButton *cancel =
        button("CancelButton", QStringLiteral("Abbrechen"), twips(2160, 2640, 1215, 375));
    QPushButton *demo = button("btnDemo", QStringLiteral("Demo"), twips(3960, 2640, 1335, 375));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &Dialog::OKButton_Click);
    connect(cancel, &QPushButton::clicked, this, &Dialog::CancelButton_Click);
    connect(demo, &QPushButton::clicked, this, &Dialog::btnDemo_Click);

    Dialog_Form_Load();
}

void Dialog::Dialog_Form_Load()
{
    if (m_port.portOpen())
        m_port.setPortOpen(false);
    AlteEinstellung = m_port.settings();
    AlterPort = m_port.commPortNumber();
    AlteVariante = m_port.tag();
    m_optBaudrate[AlteEinstellung == k9600 ? 0 : 1]->setChecked(true);
    if (AlterPort >= 1 && AlterPort <= 4)
        m_optCOM[AlterPort - 1]->setChecked(true);
    m_optSoftware[AlteVariante == kStx ? 0 : 1]->setChecked(true);
}

void Dialog::OKButton_Click()
{
    if (!m_port.setPortOpen(true)) {
        showKelmMessage(this, m_port.errorString());
        return;
    }
    remembered::saveLine(m_port);
    if (m_hooks.afterOpen)
        m_hooks.afterOpen();
    m_closing = true;
    accept();
}

void Dialog::CancelButton_Click()
{
    m_port.setSettings(AlteEinstellung);
    m_port.setCommPort(AlterPort);
    m_port.setTag(AlteVariante);
    openAndReport();
    m_closing = true;
    QDialog::reject();
}

void Dialog::openAndReport()
{
    // The old port may have gone meanwhile; say so and carry on in demonstration mode rather
    // than let every later send run into its time-out.
    if (!m_port.setPortOpen(true)) {
        showKelmMessage(this, m_port.errorString());
        if (m_hooks.showDemo)
            m_hooks.showDemo();
    }
}

void Dialog::btnDemo_Click()
{
    if (m_hooks.showDemo)
        m_hooks.showDemo();
    m_closing = true;
    accept();
}

void Dialog::reject()
{
    // Escape and the title bar's close box (QDialog's close event rejects) count as Abbrechen.
    if (!m_closing)
        CancelButton_Click();
}

} // namespace kelm
