#pragma once

#include "link/TrafficSink.h"
#include "monitor/LogFormat.h"
#include "monitor/TrafficRecord.h"

#include <QFont>
#include <QImage>
#include <QMainWindow>
#include <functional>

class QAction;

namespace kelm {

// Cell geometry of the monitor grid, in twips (15 twips are one pixel).
struct MonitorGrid
{
    static constexpr int kTwipsPerPixel = 15;
    static constexpr int kCellWidth = 250;
    static constexpr int kBandHeight = 300;
    static constexpr int kRowPitch = 660;
    static constexpr int kBandLeft = 550;
    static constexpr int kFirstCellLeft = 650;

    // Grid for a drawing area of w × h twips; never below 1 × 1.
    static MonitorGrid forArea(int w, int h);

    int cols = 1;
    int rows = 1;
    int cells() const { return cols * rows; }
    int cellLeft(int p) const { return kFirstCellLeft + (p % cols) * kCellWidth; }
    int rowTop(int p) const { return (p / cols) * kRowPitch; }
};

class MonitorCanvas;

// The traffic monitor "V24 Monitor": the record ring, its grid picture and the log files.
class V24Mon : public QMainWindow, public TrafficSink
{
    Q_OBJECT

public:
    using FileNameProvider = std::function<QString()>;

    explicit V24Mon(QWidget *parent = nullptr);

    void V24MonWriteBuf(std::uint8_t direction, std::uint8_t value) override;

    // Full redraw from the record (resize, view switch, clear).
    void Form_Resize();
    void MnuClear_Click();
    void mnuShowASCII_Click();
    void mnuShowHex_Click();
    void MnuExit_Click();
    // False when a chosen file could not be written (the operator has been told).
    bool V24MonSave(SaveKind kind);

    // Tests answer the save dialog here; an empty name is a cancelled dialog.
    void setFileNameProvider(FileNameProvider provider)
    {
        m_fileNameProvider = std::move(provider);
    }

    const TrafficRecord &record() const { return m_record; }
    const QImage &picture() const { return m_image; }
    const MonitorGrid &grid() const { return m_grid; }
    int CursorPos() const { return m_cursorPos; }
    int RedrawFrom() const { return m_redrawFrom; }
    bool showAscii() const { return m_showAscii == 1; }
    // Records drawn since the last full redraw, for checks that appends stay cheap.
    int cellsDrawnSinceRedraw() const { return m_cellsDrawn; }
    // One record's text in cell p, in twips, on the picture or on any other painter.
    void V24MonDrawByte(QPainter &painter, std::uint8_t direction, std::uint8_t value, int p);

signals:
    // The window was hidden by its own means (title bar or "Exit").
    void hiddenByUser();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    friend class MonitorCanvas;
    void fillCell(QPainter &painter, int p, const QColor &pcHalf, const QColor &unitHalf);
    void markCursor(QPainter &painter);
    void canvasResized();
    QString askFileName();

    TrafficRecord m_record;
    MonitorGrid m_grid;
    MonitorCanvas *m_canvas = nullptr;
    QImage m_image;
    QFont m_font;
    std::uint8_t m_showAscii = 1;
    int m_cursorPos = 0;
    int m_redrawFrom = 0;
    int m_cellsDrawn = 0;
    QAction *m_showAsciiAction = nullptr;
    QAction *m_showHexAction = nullptr;
    FileNameProvider m_fileNameProvider;
};

} // namespace kelm
