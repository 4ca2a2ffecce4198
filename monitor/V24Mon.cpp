#include "monitor/V24Mon.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QTime>

namespace kelm {

namespace {
const QColor kBackground(64, 64, 64);
const QColor kPcBand(0, 128, 0);
const QColor kUnitBand(192, 192, 192);
const QColor kPcCursor(0, 64, 0);
const QColor kUnitCursor(128, 128, 128);
constexpr int kTwipsPerPoint = 20;
// The drawing area as designed, in twips: a 20 × 7 grid.
constexpr int kDesignWidth = 5745;
constexpr int kDesignHeight = 5265;

const char *linkNote(std::uint8_t value)
{
    switch (value) {
    case 2:
        return "STX";
    case 3:
        return "ETX";
    case 16:
        return "DLE";
    case 21:
        return "NAK";
    default:
        return nullptr;
    }
}
} // namespace

MonitorGrid MonitorGrid::forArea(int w, int h)
{
    MonitorGrid g;
    g.cols = std::max(1, (w - kFirstCellLeft) / kCellWidth);
    g.rows = std::max(1, (h - kBandHeight) / kRowPitch);
    return g;
}

// Shows the off-screen picture; the picture itself is only changed by the monitor.
class MonitorCanvas : public QWidget
{
public:
    explicit MonitorCanvas(V24Mon *monitor) : QWidget(monitor), m_monitor(monitor)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    QSize sizeHint() const override
    {
        return {kDesignWidth / MonitorGrid::kTwipsPerPixel,
                kDesignHeight / MonitorGrid::kTwipsPerPixel};
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QPainter painter(this);
        painter.drawImage(event->rect(), m_monitor->m_image, event->rect());
    }
    void resizeEvent(QResizeEvent *) override { m_monitor->canvasResized(); }

private:
    V24Mon *m_monitor;
};

V24Mon::V24Mon(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("V24 Monitor"));
    m_font = QFont(QStringLiteral("Arial"));
    m_font.setBold(true);
    m_canvas = new MonitorCanvas(this);
    setCentralWidget(m_canvas);

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("Save as &HEX"), this, [this] { V24MonSave(SaveKind::Hex); });
    file->addAction(QStringLiteral("Save as H&EX Structured "), this,
                    [this] { V24MonSave(SaveKind::HexStructured); });
    file->addAction(QStringLiteral("Save as &ASCII"), this,
                    [this] { V24MonSave(SaveKind::Ascii); });
    file->addAction(QStringLiteral("Save as A&SCII Structured"), this,
                    [this] { V24MonSave(SaveKind::AsciiStructured); });
    file->addAction(QStringLiteral("&Exit"), this, &V24Mon::MnuExit_Click);

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    m_showAsciiAction =
        view->addAction(QStringLiteral("...as &ASCII"), this, &V24Mon::mnuShowASCII_Click);
    m_showHexAction =
        view->addAction(QStringLiteral("...as &HEX"), this, &V24Mon::mnuShowHex_Click);
    m_showAsciiAction->setCheckable(true);
    m_showHexAction->setCheckable(true);
    m_showAsciiAction->setChecked(true);

    QAction *clear = menuBar()->addAction(QStringLiteral("!&Clear Data"));
    connect(clear, &QAction::triggered, this, &V24Mon::MnuClear_Click);

    m_showAsciiAction->setObjectName(QStringLiteral("mnuShowASCII"));
    m_showHexAction->setObjectName(QStringLiteral("mnuShowHex"));
    clear->setObjectName(QStringLiteral("MnuClear"));
    m_canvas->setObjectName(QStringLiteral("canvas"));
    m_canvas->resize(m_canvas->sizeHint());
    resize(m_canvas->sizeHint() + QSize(0, menuBar()->sizeHint().height()));
}

void V24Mon::V24MonWriteBuf(std::uint8_t direction, std::uint8_t value)
{
    if (!isVisible())
        return;
    m_record.append(direction, value);

    // Only the written cell and the new cursor cell are drawn.
    QPainter painter(&m_image);
    painter.scale(1.0 / MonitorGrid::kTwipsPerPixel, 1.0 / MonitorGrid::kTwipsPerPixel);
    fillCell(painter, m_cursorPos, kPcBand, kUnitBand);
    V24MonDrawByte(painter, direction, value, m_cursorPos);
    const int oldCursor = m_cursorPos;
    m_cursorPos = m_cursorPos == m_grid.cells() - 1 ? 0 : m_cursorPos + 1;
    markCursor(painter);
    ++m_cellsDrawn;

    auto cellRect = [this](int p) {
        const int px = MonitorGrid::kTwipsPerPixel;
        return QRect(m_grid.cellLeft(p) / px - 1, m_grid.rowTop(p) / px - 1,
                     MonitorGrid::kCellWidth / px + 3, 2 * MonitorGrid::kBandHeight / px + 3);
    };
    m_canvas->update(cellRect(oldCursor));
    m_canvas->update(cellRect(m_cursorPos));
}

void V24Mon::V24MonDrawByte(QPainter &painter, std::uint8_t direction, std::uint8_t value, int p)
{
    painter.setPen(direction == DirUnit ? Qt::black : Qt::white);
    const int x = m_grid.cellLeft(p);
    const int y = m_grid.rowTop(p) + direction * MonitorGrid::kBandHeight;
    auto text = [&](int points, int tx, int ty, const QString &s) {
        m_font.setPixelSize(points * kTwipsPerPoint);
        painter.setFont(m_font);
        painter.drawText(QRect(tx, ty, 4000, 4000), Qt::AlignLeft | Qt::AlignTop, s);
    };
    if (m_showAscii == 1 && value >= 32 && value <= 126) {
        text(10, x, y, QString(QChar(value)));
        return;
    }
    text(8, x, y, QString::fromLatin1(V24MonHex(value)));
    if (const char *note = linkNote(value))
        text(5, x, y + 180, QString::fromLatin1(note));
    else if (value >= 32 && value <= 126)
        text(5, x, y + 180, QString(QChar(value)));
}

void V24Mon::fillCell(QPainter &painter, int p, const QColor &pcHalf, const QColor &unitHalf)
{
    const int c = p % m_grid.cells();
    const int x = m_grid.cellLeft(c);
    const int y = m_grid.rowTop(c);
    painter.fillRect(x, y, MonitorGrid::kCellWidth, MonitorGrid::kBandHeight, pcHalf);
    painter.fillRect(x, y + MonitorGrid::kBandHeight, MonitorGrid::kCellWidth,
                     MonitorGrid::kBandHeight, unitHalf);
}

void V24Mon::markCursor(QPainter &painter)
{
    fillCell(painter, m_cursorPos, kPcCursor, kUnitCursor);
}

void V24Mon::canvasResized()
{
    const QSize size = m_canvas->size().expandedTo(QSize(1, 1));
    if (m_image.size() != size)
        m_image = QImage(size, QImage::Format_RGB32);
    Form_Resize();
}

void V24Mon::Form_Resize()
{
    if (m_image.isNull())
        m_image = QImage(m_canvas->size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    const int w = m_image.width() * MonitorGrid::kTwipsPerPixel;
    const int h = m_image.height() * MonitorGrid::kTwipsPerPixel;
    m_cellsDrawn = 0;
    m_grid = MonitorGrid::forArea(w, h);

    QPainter painter(&m_image);
    painter.scale(1.0 / MonitorGrid::kTwipsPerPixel, 1.0 / MonitorGrid::kTwipsPerPixel);
    painter.fillRect(0, 0, w, h, kBackground);
    painter.setPen(Qt::white);
    // The labels must end before the bands start at 550; where the nearest font to the
    // designed one runs wider, it is narrowed rather than cut off.
    QFont labelFont = m_font;
    labelFont.setPixelSize(9 * kTwipsPerPoint);
    const int labelWidth = QFontMetrics(labelFont).horizontalAdvance(QStringLiteral("KELM:"));
    constexpr int kLabelRoom = MonitorGrid::kBandLeft - 50 - 20;
    if (labelWidth > kLabelRoom)
        labelFont.setStretch(std::max(50, 100 * kLabelRoom / labelWidth));
    painter.setFont(labelFont);
    for (int r = 0; r < m_grid.rows; ++r) {
        const int top = r * MonitorGrid::kRowPitch;
        painter.drawText(QRect(50, top + 40, 500, 400), Qt::AlignLeft | Qt::AlignTop,
                         QStringLiteral("PC:"));
        painter.drawText(QRect(50, top + 340, 500, 400), Qt::AlignLeft | Qt::AlignTop,
                         QStringLiteral("KELM:"));
        painter.fillRect(QRect(QPoint(MonitorGrid::kBandLeft, top), QPoint(w, top + 299)), kPcBand);
        painter.fillRect(QRect(QPoint(MonitorGrid::kBandLeft, top + 300), QPoint(w, top + 599)),
                         kUnitBand);
    }

    int n = 0;
    if (!m_record.isEmpty()) {
        const int count = m_record.count();
        if (count < m_grid.cells() - 1) {
            m_redrawFrom = m_record.BufStart;
            n = count;
        } else {
            n = m_grid.cells() - 1;
            m_redrawFrom = m_record.BufWrite - n;
            if (m_redrawFrom < 0)
                m_redrawFrom += TrafficRecord::kSlots;
        }
    }
    for (int k = 0; k < n; ++k) {
        const int s = (m_redrawFrom + k) % TrafficRecord::kSlots;
        V24MonDrawByte(painter, m_record.BufDir[s], m_record.BufValue[s], k);
    }
    m_cursorPos = n;
    markCursor(painter);
    painter.end();
    m_canvas->update();
}

void V24Mon::MnuClear_Click()
{
    m_record.clear();
    m_redrawFrom = 0;
    Form_Resize();
}

void V24Mon::mnuShowASCII_Click()
{
    m_showAscii = 1;
    m_showAsciiAction->setChecked(true);
    m_showHexAction->setChecked(false);
    Form_Resize();
}

void V24Mon::mnuShowHex_Click()
{
    m_showAscii = 0;
    m_showAsciiAction->setChecked(false);
    m_showHexAction->setChecked(true);
    Form_Resize();
}

void V24Mon::MnuExit_Click()
{
    hide();
    emit hiddenByUser();
}

void V24Mon::closeEvent(QCloseEvent *event)
{
    event->accept();
    emit hiddenByUser();
}

void V24Mon::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    Form_Resize();
}

QString V24Mon::askFileName()
{
    if (m_fileNameProvider)
        return m_fileNameProvider();
    QFileDialog dialog(this, QStringLiteral("V24 Monitor Save"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(QStringLiteral("Textfiles (*.txt)"));
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

bool V24Mon::V24MonSave(SaveKind kind)
{
    const QString path = askFileName();
    if (path.isEmpty())
        return true;
    // One reading of the clock for both, so that a save at midnight cannot mix two days.
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray contents =
        formatLog(m_record, kind, logDateText(now.date(), QLocale::system()),
                  now.time().toString(QStringLiteral("HH:mm:ss")));
    QString error;
    if (writeLogFile(path, contents, &error))
        return true;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("KELM"),
                    QStringLiteral("Die Datei %1 konnte nicht geschrieben werden:\n%2")
                        .arg(QDir::toNativeSeparators(path), error),
                    QMessageBox::Ok, this);
    box.exec();
    return false;
}

} // namespace kelm
