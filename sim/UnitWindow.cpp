#include "sim/UnitWindow.h"

#include <QCheckBox>
#include <QFile>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace kelm::sim {

// Draws the unit's display (8 × 16 cells) and its twelve LEDs from a copy of the model.
class UnitFace : public QWidget
{
public:
    explicit UnitFace(QWidget *parent) : QWidget(parent)
    {
        m_font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        m_font.setPixelSize(16);
        m_font.setBold(true);
        setMinimumSize(kCell.width() * UnitModel::kColumns + 24, kCell.height() * 8 + 24);
    }

    void show(const UnitModel &model, bool phase)
    {
        m_model = model;
        m_phase = phase;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), QColor(40, 44, 48));
        const QRect glass(12, 12, kCell.width() * UnitModel::kColumns,
                          kCell.height() * UnitModel::kLines);
        p.fillRect(glass.adjusted(-4, -4, 4, 4), QColor(140, 189, 159));
        p.setFont(m_font);
        for (int l = 0; l < UnitModel::kLines; ++l) {
            for (int c = 0; c < UnitModel::kColumns; ++c) {
                const Cell &cell = m_model.cells[l][c];
                const QRect r(glass.left() + c * kCell.width(), glass.top() + l * kCell.height(),
                              kCell.width(), kCell.height());
                if (cell.blink && !m_phase)
                    continue;
                QColor ink(20, 36, 26);
                if (cell.inverse) {
                    p.fillRect(r, ink);
                    ink = QColor(140, 189, 159);
                }
                p.setPen(ink);
                p.drawText(r, Qt::AlignCenter, glyph(cell.code));
            }
        }
    }

private:
    static QString glyph(std::uint8_t code)
    {
        if (code >= 0x80 && code <= 0xDF)
            return QString(QChar(code - 0x60));
        return QStringLiteral("\u00A4"); // codes without a character of their own
    }

    static constexpr QSize kCell{14, 22};
    UnitModel m_model;
    QFont m_font;
    bool m_phase = true;
};

namespace {

// An LED beside a key button.
class LedLamp : public QWidget
{
public:
    explicit LedLamp(QWidget *parent) : QWidget(parent) { setFixedSize(14, 14); }
    void set(Led led, bool phase)
    {
        const bool lit = led == Led::On || (led == Led::Blink && phase);
        if (lit == m_lit)
            return;
        m_lit = lit;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(m_lit ? QColor(255, 230, 0) : QColor(70, 70, 60));
        p.setPen(QColor(20, 20, 20));
        p.drawEllipse(rect().adjusted(1, 1, -1, -1));
    }

private:
    bool m_lit = false;
};

} // namespace

UnitWindow::UnitWindow(SimUnit &unit, const QString &lineName, QWidget *parent)
    : QWidget(parent), m_unit(unit)
{
    setObjectName(QStringLiteral("kelmUnit"));
    setWindowTitle(QStringLiteral("KELM unit (simulated) on %1").arg(lineName));

    m_face = new UnitFace(this);
    auto *keys = new QGridLayout;
    std::array<LedLamp *, 12> lamps{};
    for (int k = 0; k < 12; ++k) {
        auto *cell = new QHBoxLayout;
        lamps[k] = new LedLamp(this);
        lamps[k]->setObjectName(QStringLiteral("led%1").arg(k));
        m_keys[k] = new QPushButton(QString::number(k + 1), this);
        m_keys[k]->setObjectName(QStringLiteral("key%1").arg(k));
        m_keys[k]->setFixedSize(44, 32);
        m_keys[k]->setToolTip(QStringLiteral("Held: key %1 pressed (0x%2), released: 0x30")
                                  .arg(k + 1)
                                  .arg(0x31 + k, 2, 16, QLatin1Char('0')));
        connect(m_keys[k], &QPushButton::pressed, this, [this, k] { keyPressed(k); });
        connect(m_keys[k], &QPushButton::released, this, &UnitWindow::keyReleased);
        cell->addWidget(lamps[k]);
        cell->addWidget(m_keys[k]);
        keys->addLayout(cell, k / 4, k % 4);
    }

    auto selector = [this](int n) {
        auto *box = new QSpinBox(this);
        box->setObjectName(QStringLiteral("selector%1").arg(n));
        box->setRange(1, 12);
        box->setPrefix(QStringLiteral("WS %1: ").arg(n));
        connect(box, &QSpinBox::valueChanged, this, [this, n](int p) { selectorTurned(n, p); });
        return box;
    };
    m_selector1 = selector(1);
    m_selector2 = selector(2);
    auto *selectors = new QHBoxLayout;
    selectors->addWidget(m_selector1);
    selectors->addWidget(m_selector2);

    // Faults the operator can inject to watch the tool's reaction.
    auto *faults = new QGroupBox(QStringLiteral("Line faults"), this);
    auto *form = new QFormLayout(faults);
    auto countedFault = [this, form](const QString &label, std::function<void(int)> apply) {
        auto *row = new QHBoxLayout;
        auto *count = new QSpinBox(this);
        count->setRange(1, 10);
        auto *go = new QPushButton(QStringLiteral("Arm"), this);
        connect(go, &QPushButton::clicked, this, [count, apply] { apply(count->value()); });
        row->addWidget(count);
        row->addWidget(go);
        form->addRow(label, row);
    };
    countedFault(QStringLiteral("NAK the next blocks"), [this](int n) { m_unit.nakNextBlocks(n); });
    countedFault(QStringLiteral("Wrong block check, next"),
                 [this](int n) { m_unit.corruptNextBcc(n); });
    auto *silent = new QCheckBox(QStringLiteral("answer nothing"), this);
    connect(silent, &QCheckBox::toggled, this, [this](bool on) { m_unit.setSilent(on); });
    form->addRow(QStringLiteral("Silent"), silent);
    auto *late = new QSpinBox(this);
    late->setRange(0, 3000);
    late->setSingleStep(100);
    late->setSuffix(QStringLiteral(" ms"));
    connect(late, &QSpinBox::valueChanged, this, [this](int ms) { m_unit.setLateMs(ms); });
    form->addRow(QStringLiteral("Answer late"), late);
    auto *ackDigit = new QSpinBox(this);
    ackDigit->setRange(0, 9);
    ackDigit->setValue(1);
    connect(ackDigit, &QSpinBox::valueChanged, this,
            [this](int d) { m_unit.setAckDigit(std::uint8_t('0' + d)); });
    form->addRow(QStringLiteral("Acknowledge with digit"), ackDigit);
    auto *oneShots = new QHBoxLayout;
    auto oneShot = [this, oneShots](const QString &caption, std::function<void()> apply) {
        auto *b = new QPushButton(caption, this);
        connect(b, &QPushButton::clicked, this, apply);
        oneShots->addWidget(b);
    };
    oneShot(QStringLiteral("Conflict"),
            [this] { m_unit.conflictOnNextStx({statusReply()[0]}, true); });
    oneShot(QStringLiteral("Noise"), [this] {
        m_unit.injectNoise({0x55, 0xAA, 0x00, 0xFF, 0x10});
    });
    oneShot(QStringLiteral("Cut off next"), [this] { m_unit.cutOffNextTelegram(); });
    form->addRow(oneShots);

    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("log"));
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(2000);
    m_log->setMinimumHeight(120);

    auto *left = new QVBoxLayout;
    left->addWidget(m_face);
    left->addLayout(keys);
    left->addLayout(selectors);
    auto *right = new QVBoxLayout;
    right->addWidget(faults);
    right->addWidget(new QLabel(QStringLiteral("Blocks (<- from the tool, -> to the tool)"), this));
    right->addWidget(m_log, 1);
    auto *top = new QHBoxLayout(this);
    top->addLayout(left);
    top->addLayout(right);

    m_unit.setStatusReply(statusReply());

    // The unit's thread changes the model; the window looks at it ten times a second and
    // blinks at the same pace as the tool.
    m_refresh = new QTimer(this);
    m_refresh->setInterval(100);
    connect(m_refresh, &QTimer::timeout, this, [this, lamps] {
        refresh();
        const bool phase = (++m_ticks / 6) % 2 == 0;
        const UnitModel model = m_unit.model();
        for (int k = 0; k < 12; ++k)
            lamps[k]->set(model.leds[k], phase);
        m_face->show(model, phase);
    });
    m_refresh->start();
}

Bytes UnitWindow::statusReply() const
{
    const std::uint8_t key = m_pressedKey < 0 ? 0x30 : std::uint8_t(0x31 + m_pressedKey);
    return {key, std::uint8_t(0x40 + m_selector1->value()),
            std::uint8_t(0x50 + m_selector2->value())};
}

void UnitWindow::keyPressed(int k)
{
    m_pressedKey = k;
    m_unit.setStatusReply(statusReply());
    m_unit.pressKey(k);
}

void UnitWindow::keyReleased()
{
    m_pressedKey = -1;
    m_unit.setStatusReply(statusReply());
    m_unit.releaseKeys();
}

void UnitWindow::selectorTurned(int n, int position)
{
    m_unit.setStatusReply(statusReply());
    m_unit.turnSelector(n, position);
}

void UnitWindow::refresh()
{
    for (const std::string &entry : m_unit.takeLog())
        m_log->appendPlainText(QString::fromStdString(entry));
    // The byte and block logs are for tests; a unit that runs for days must not grow them.
    m_unit.clearLogs();
}

int openUnitLine(const QString &device, int baud, QString *error)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        *error = QStringLiteral("not a serial line (%1)")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD | PARENB;
    tio.c_cflag &= ~(PARODD | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8;
    const speed_t speed = baud == 19200 ? B19200 : B9600;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace kelm::sim
