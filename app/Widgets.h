#pragma once

#include <QElapsedTimer>
#include <QLineEdit>
#include <QWidget>
#include <functional>

class QPainter;

namespace kelm {

// A filled rectangle or circle laid over the unit's picture: an LED square or a pressed mark.
// Mouse events pass through to the click target above it.
class Shape : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor fillColor READ fillColor WRITE setFillColor)
    Q_PROPERTY(bool filled READ filled WRITE setFilled)
    Q_PROPERTY(QString tag READ tag WRITE setTag)

public:
    enum class Kind
    {
        Rectangle,
        Circle
    };

    Shape(Kind kind, QWidget *parent);

    QColor fillColor() const { return m_fill; }
    void setFillColor(const QColor &colour);
    // Solid fill, or transparent (nothing drawn).
    bool filled() const { return m_filled; }
    void setFilled(bool filled);
    QString tag() const { return m_tag; }
    void setTag(const QString &tag) { m_tag = tag; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Kind m_kind;
    QColor m_fill;
    bool m_filled = true;
    QString m_tag;
};

// The transparent click target of one key. A double-click arrives as a click followed by a
// double-click, whatever order of presses and releases the platform delivers.
class KeyTarget : public QWidget
{
    Q_OBJECT

public:
    KeyTarget(int index, QWidget *parent);

signals:
    void clicked(int index);
    void doubleClicked(int index);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    int m_index;
    bool m_pressed = false;
    bool m_swallowRelease = false;
    QElapsedTimer m_sinceClick;
};

// One display line. Every typed character passes the key-press handler first, which may
// replace it; Enter goes to the handler only.
class DisplayLine : public QLineEdit
{
    Q_OBJECT

public:
    using KeyPress = std::function<void(int index, int &keyAscii)>;

    DisplayLine(int index, QWidget *parent);
    void setKeyPressHandler(KeyPress handler) { m_keyPress = std::move(handler); }

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    int m_index;
    KeyPress m_keyPress;
};

// The picture of the unit's front, drawn in code.
class UnitFront : public QWidget
{
    Q_OBJECT

public:
    explicit UnitFront(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The font at the largest pixel size up to `largest` whose lines (ascent and descent, as the
// widgets lay them out) fit `height` pixels. Faces differ in their real metrics, so a size that
// fits with one may cut off the glyphs of another.
QFont fittingFont(QFont font, int largest, int height);

// The application's icon, drawn in code so that no image plug-in is needed.
QIcon kelmIcon();
void drawIcon(QPainter &painter, int size); // on a painter's square of size × size

// Title, version and icon of the application; the tool ends only through its main window.
void setUpApplication();

} // namespace kelm
