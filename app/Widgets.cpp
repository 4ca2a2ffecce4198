#include "app/Widgets.h"

#include <csignal>

#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStyleHints>
#include <cmath>

namespace kelm {

Shape::Shape(Kind kind, QWidget *parent) : QWidget(parent), m_kind(kind)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Shape::setFillColor(const QColor &colour)
{
    if (m_fill == colour)
        return;
    m_fill = colour;
    update();
}

void Shape::setFilled(bool filled)
{
    if (m_filled == filled)
        return;
    m_filled = filled;
    update();
}

void Shape::paintEvent(QPaintEvent *)
{
    if (!m_filled)
        return;
    QPainter painter(this);
    if (m_kind == Kind::Circle) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_fill);
        painter.drawEllipse(rect());
    } else {
        painter.fillRect(rect(), m_fill);
        painter.setPen(QColor(40, 40, 40));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

KeyTarget::KeyTarget(int index, QWidget *parent) : QWidget(parent), m_index(index)
{
    setCursor(Qt::PointingHandCursor);
}

void KeyTarget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_pressed = true;
    m_swallowRelease = false; // a new press starts a new gesture
}

void KeyTarget::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_pressed)
        return;
    m_pressed = false;
    if (m_swallowRelease) {
        m_swallowRelease = false;
        return;
    }
    if (rect().contains(event->position().toPoint())) {
        m_sinceClick.start();
        emit clicked(m_index);
    }
}

void KeyTarget::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const bool clickSeen =
        m_sinceClick.isValid() &&
        m_sinceClick.elapsed() <= QApplication::styleHints()->mouseDoubleClickInterval();
    m_sinceClick.invalidate();
    if (!clickSeen)
        emit clicked(m_index);
    // The release that ends the double-click is no click of its own.
    m_swallowRelease = true;
    m_pressed = true;
    emit doubleClicked(m_index);
}

DisplayLine::DisplayLine(int index, QWidget *parent) : QLineEdit(parent), m_index(index) {}

void DisplayLine::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const QString text = event->text();
    if (!m_keyPress || (!enter && text.size() != 1) || (!enter && !text[0].isPrint())) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    int code = enter ? 13 : text[0].unicode();
    const int typed = code;
    m_keyPress(m_index, code);
    if (enter)
        return;
    if (code == typed) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    QKeyEvent replaced(event->type(), event->key(), event->modifiers(),
                       QString(QChar(static_cast<char16_t>(code))), event->isAutoRepeat(),
                       static_cast<ushort>(event->count()));
    QLineEdit::keyPressEvent(&replaced);
}

UnitFront::UnitFront(QWidget *parent) : QWidget(parent)
{
    setFixedSize(341, 500);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

namespace {

void drawScrew(QPainter &p, QPointF c)
{
    QRadialGradient g(c - QPointF(1.5, 1.5), 6);
    g.setColorAt(0, QColor(200, 204, 208));
    g.setColorAt(1, QColor(90, 94, 98));
    p.setBrush(g);
    p.setPen(QColor(30, 32, 34));
    p.drawEllipse(c, 5, 5);
    p.drawLine(c + QPointF(-3, -3), c + QPointF(3, 3));
}

void drawKnob(QPainter &p, QPointF c, const QString &name)
{
    // Scale marks for the twelve positions.
    p.setPen(QPen(QColor(210, 214, 218), 1.5));
    for (int i = 0; i < 12; ++i) {
        const double a = (-135.0 + i * 270.0 / 11.0) * M_PI / 180.0;
        const QPointF dir(std::sin(a), -std::cos(a));
        p.drawLine(c + dir * 30, c + dir * 35);
    }
    QRadialGradient body(c - QPointF(8, 8), 34);
    body.setColorAt(0, QColor(96, 100, 106));
    body.setColorAt(1, QColor(22, 24, 27));
    p.setBrush(body);
    p.setPen(QPen(QColor(12, 12, 14), 1.5));
    p.drawEllipse(c, 25, 25);
    p.setPen(QPen(QColor(235, 235, 235), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c + QPointF(0, -8), c + QPointF(0, -21));
    QFont f = p.font();
    f.setPixelSize(10);
    f.setBold(true);
    p.setFont(f);
    p.setPen(QColor(200, 204, 208));
    p.drawText(QRectF(c.x() - 30, c.y() + 34, 60, 14), Qt::AlignCenter, name);
}

} // namespace

void UnitFront::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(58, 62, 66));

    // Housing, 340 × 499, with a bevelled edge.
    const QRectF housing(0.5, 0.5, 339, 498);
    QLinearGradient shell(0, 0, 0, 499);
    shell.setColorAt(0, QColor(84, 90, 96));
    shell.setColorAt(1, QColor(48, 52, 57));
    p.setBrush(shell);
    p.setPen(QPen(QColor(20, 22, 24), 1));
    p.drawRoundedRect(housing, 12, 12);
    p.setPen(QPen(QColor(130, 136, 142), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(housing.adjusted(3, 3, -3, -3), 10, 10);
    for (QPointF c : {QPointF(14, 14), QPointF(326, 14), QPointF(14, 485), QPointF(326, 485)})
        drawScrew(p, c);

    // Name plate.
    QFont f = p.font();
    f.setPixelSize(18);
    f.setBold(true);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    p.setFont(f);
    p.setPen(QColor(20, 22, 24));
    p.drawText(QRectF(0, 19, 340, 26), Qt::AlignCenter, QStringLiteral("KELM"));
    p.setPen(QColor(226, 230, 234));
    p.drawText(QRectF(0, 18, 340, 26), Qt::AlignCenter, QStringLiteral("KELM"));

    // Display window: a dark bezel around the LCD glass behind the eight lines.
    p.setPen(QPen(QColor(12, 12, 14), 1));
    p.setBrush(QColor(26, 28, 31));
    p.drawRoundedRect(QRectF(64, 50, 217, 148), 6, 6);
    p.setBrush(QColor(140, 189, 159));
    p.setPen(QPen(QColor(70, 96, 80), 1));
    // The glass reaches below the last line (176 + 18), so no lip of the bezel shows under it.
    p.drawRect(QRectF(74, 58, 197, 138));

    // Attribute strip under the display.
    p.setBrush(Qt::black);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(34, 198, 272, 21), 4, 4);

    // Key panel with a cap under every LED square.
    p.setBrush(QColor(34, 37, 40));
    p.setPen(QPen(QColor(14, 15, 17), 1));
    p.drawRoundedRect(QRectF(84, 228, 177, 153), 8, 8);
    const int lefts[4] = {96, 136, 176, 216};
    const int tops[3] = {240, 296, 336};
    for (int top : tops) {
        for (int left : lefts) {
            QLinearGradient cap(left, top, left, top + 37);
            cap.setColorAt(0, QColor(120, 126, 132));
            cap.setColorAt(1, QColor(64, 68, 73));
            p.setBrush(cap);
            p.setPen(QPen(QColor(10, 10, 12), 1));
            p.drawRoundedRect(QRectF(left - 3, top - 3, 39, 39), 4, 4);
        }
    }

    drawKnob(p, QPointF(117, 430), QStringLiteral("WS 1"));
    drawKnob(p, QPointF(229, 430), QStringLiteral("WS 2"));
}

QFont fittingFont(QFont font, int largest, int height)
{
    for (int px = largest; px > 6; --px) {
        font.setPixelSize(px);
        if (QFontMetrics(font).height() <= height)
            break;
    }
    return font;
}

void setUpApplication()
{
    QApplication::setApplicationName(QStringLiteral("KELM"));
    QApplication::setApplicationVersion(QStringLiteral(KELM_VERSION));
    QApplication::setWindowIcon(kelmIcon());
    QApplication::setQuitOnLastWindowClosed(false);
    // A log written beyond a file-size limit must fail with its reason, not end the tool.
    std::signal(SIGXFSZ, SIG_IGN);
}

void drawIcon(QPainter &p, int size)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setBrush(QColor(66, 72, 78));
    p.setPen(QPen(QColor(20, 22, 24), 2));
    p.drawRoundedRect(QRectF(8, 2, 48, 60), 6, 6);
    p.setBrush(QColor(140, 189, 159));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(14, 8, 36, 20));
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) {
            p.setBrush(r == 0 && c == 1 ? QColor(255, 255, 0) : QColor(224, 224, 224));
            p.drawRect(QRectF(15 + c * 12, 34 + r * 12, 9, 9));
        }
    p.restore();
}

QIcon kelmIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        drawIcon(p, size);
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace kelm
