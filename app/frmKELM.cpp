#include "app/frmKELM.h"

#include "about/frmAbout.h"
#include "app/Widgets.h"
#include "config/Dialog.h"
#include "config/Remembered.h"
#include "device/KELMkonstanten.h"
#include "link/Settings.h"
#include "monitor/V24Mon.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <cmath>

namespace kelm {

namespace K = KELMkonstanten;

namespace {
const QColor kLedGrey(0xE0, 0xE0, 0xE0);
const QColor kLedYellow(0xFF, 0xFF, 0x00);
const QColor kDisplayGreen(0x8C, 0xBD, 0x9F);
const QColor kDisplayDisabledText(0x2F, 0x45, 0x38); // 4.8:1 against the green
constexpr int kKeyLeft[4] = {96, 136, 176, 216};
constexpr int kKeyTop[3] = {240, 296, 336};
constexpr int kBlinkIntervalMs = 567;

QRect keyRect(int k)
{
    return QRect(kKeyLeft[k % 4], kKeyTop[k / 4], 33, 33);
}

// A checkable menu entry whose check mark only its handler changes.
void onTriggered(QAction *action, std::function<void()> handler)
{
    QObject::connect(action, &QAction::triggered, action, [action, handler] {
        if (action->isCheckable())
            action->setChecked(!action->isChecked());
        handler();
    });
}
} // namespace

class frmKELM::MonitorSink : public TrafficSink
{
public:
    explicit MonitorSink(frmKELM &window) : m_window(window) {}
    void V24MonWriteBuf(std::uint8_t direction, std::uint8_t value) override
    {
        // A monitor that was never shown records nothing, so it need not exist yet.
        if (m_window.m_monitor)
            m_window.m_monitor->V24MonWriteBuf(direction, value);
    }

private:
    frmKELM &m_window;
};

frmKELM::frmKELM(QWidget *parent, Clock &clock)
    : QMainWindow(parent), m_monitorSink(std::make_unique<MonitorSink>(*this)),
      m_station(*this, clock), m_comm(m_station.port()), m_journal(m_station.journal()),
      m_link(m_station.link()), m_kelm(m_station.device()),
      m_endTool([] { QCoreApplication::quit(); })
{
    setObjectName(QStringLiteral("frmKELM"));
    setWindowTitle(QStringLiteral("Morvane KELM"));
    setWindowIcon(kelmIcon());
    m_comm.setObjectName(QStringLiteral("MSComm1"));
    m_pump.setPort(&m_comm);
    buildControls();
    buildMenus();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    m_station.addSink(m_monitorSink.get());
    connect(&m_station, &Station::portLost, this,
            [this](const QString &text) { showMessage(text); });
    // Queued: the journal fails inside a write, which may be inside a send; the box waits for
    // the event loop.
    connect(
        &m_station, &Station::journalFailed, this,
        [this](const QString &message) {
            m_mnuMitschnitt->setChecked(false);
            const QString prefix =
                QDir::toNativeSeparators(m_journal.path()) + QStringLiteral(": ");
            showFileFailure(m_journal.path(),
                            message.startsWith(prefix) ? message.mid(prefix.size()) : message);
        },
        Qt::QueuedConnection);
    // The same file dialog as the monitor's for its logs.
    m_journalFile = [this] {
        QFileDialog dialog(this, QStringLiteral("Mitschnitt"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter(QStringLiteral("Textfiles (*.txt)"));
        dialog.setDefaultSuffix(QStringLiteral("txt"));
        dialog.selectFile(remembered::journalFile().isEmpty()
                              ? QDir::home().filePath(QStringLiteral("kelm-journal.txt"))
                              : remembered::journalFile());
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };

    m_timer1 = new QTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(kBlinkIntervalMs);
    connect(m_timer1, &QTimer::timeout, this, &frmKELM::Timer1_Timer);
    m_timer1->start();

    remembered::loadLine(m_comm);
    remembered::restorePosition(*this, QStringLiteral("Main"));
    // Recording resumes from the first byte, the start-up detection included.
    if (remembered::journalRecording() && !remembered::journalFile().isEmpty())
        startJournal(remembered::journalFile());
}

void frmKELM::startJournal(const QString &path)
{
    QString error;
    if (!m_journal.start(path, &error, configuredJournalMaxBytes(), configuredJournalFiles())) {
        showFileFailure(path, error);
        return;
    }
    m_mnuMitschnitt->setChecked(true);
}

void frmKELM::mnuMitschnitt_Click()
{
    if (m_journal.recording()) {
        m_journal.stop();
        m_mnuMitschnitt->setChecked(false);
        remembered::saveJournal(m_journal.path(), false);
        return;
    }
    const QString path = m_journalFile ? m_journalFile() : QString();
    if (path.isEmpty())
        return;
    startJournal(path);
    remembered::saveJournal(path, m_journal.recording());
}

frmKELM::~frmKELM()
{
    delete m_dialog.data();
    delete m_about.data();
}

void frmKELM::buildControls()
{
    m_front = new UnitFront(this);
    m_front->setObjectName(QStringLiteral("picture"));
    setCentralWidget(m_front);

    const QFont lineFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (int n = 0; n < K::DisplayZeilen; ++n) {
        auto *line = new DisplayLine(n, m_front);
        line->setObjectName(QStringLiteral("txtDisplay%1").arg(n));
        line->setGeometry(80, 64 + 16 * n, 185, 18);
        line->setMaxLength(K::ZeileMaxZeichen);
        line->setFont(lineFont);
        line->setFrame(false);
        QPalette pal = line->palette();
        pal.setColor(QPalette::Base, kDisplayGreen);
        // The continuous test's notice stands in disabled boxes: it must stay readable there.
        pal.setColor(QPalette::Disabled, QPalette::Text, kDisplayDisabledText);
        if (n == 0)
            pal.setColor(QPalette::Text, Qt::black);
        line->setPalette(pal);
        line->setKeyPressHandler(
            [this](int index, int &code) { txtDisplay_KeyPress(index, code); });
        m_txtDisplay[n] = line;
    }
    fillDisplayLines();

    auto checkBox = [this](const char *name, const QString &caption, QRect rect) {
        auto *box = new QCheckBox(caption, m_front);
        box->setObjectName(QLatin1String(name));
        // Black strip, caption in the highlight-text colour. Caption and indicator are sized to
        // be read, so the box keeps its place but may grow to the right past its designed width.
        const QColor text = box->palette().color(QPalette::HighlightedText);
        const int px = fittingFont(box->font(), 12, rect.height()).pixelSize();
        box->setStyleSheet(QStringLiteral("QCheckBox { background: black; color: %1; spacing: 4px;"
                                          " font-size: %2px; }"
                                          "QCheckBox::indicator { width: 10px; height: 10px;"
                                          " border: 1px solid %1; background: black; }"
                                          "QCheckBox::indicator:checked { background: %1; }")
                               .arg(text.name())
                               .arg(px));
        rect.setWidth(std::max(rect.width(), box->sizeHint().width()));
        box->setGeometry(rect);
        return box;
    };
    m_chkBlinken = checkBox("chkBlinken", QStringLiteral("blinken"), QRect(40, 200, 57, 17));
    m_chkInvers = checkBox("chkInvers", QStringLiteral("invers"), QRect(248, 200, 49, 17));

    for (int k = 0; k < K::AnzahlTasten; ++k) {
        const QRect square = keyRect(k);
        auto *led = new Shape(Shape::Kind::Rectangle, m_front);
        led->setObjectName(QStringLiteral("shpTaste%1").arg(k));
        led->setGeometry(square);
        led->setFillColor(kLedGrey);
        led->setTag(QStringLiteral("false"));
        m_shpTaste[k] = led;

        auto *mark = new Shape(Shape::Kind::Circle, m_front);
        mark->setObjectName(QStringLiteral("shpTgedrückt%1").arg(k));
        mark->setGeometry(square.left() + 8, square.top() + 8, 17, 17);
        mark->setFillColor(QColor(0xFF, 0, 0));
        mark->setFilled(false);
        m_shpTgedrueckt[k] = mark;

        auto *target = new KeyTarget(k, m_front);
        target->setObjectName(QStringLiteral("imgTaste%1").arg(k));
        target->setGeometry(square);
        target->setToolTip(QStringLiteral("Click: an/aus  dbl.Click: blinken"));
        connect(target, &KeyTarget::clicked, this, &frmKELM::imgTaste_Click);
        connect(target, &KeyTarget::doubleClicked, this, &frmKELM::imgTaste_DblClick);
        m_imgTaste[k] = target;
    }
    for (KeyTarget *target : m_imgTaste)
        target->raise();

    auto selector = [this](const char *name, int left) {
        auto *label = new QLabel(QStringLiteral("0"), m_front);
        label->setObjectName(QLatin1String(name));
        label->setGeometry(left, 376, 10, 24);
        label->setFont(fittingFont(label->font(), 18, label->height()));
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, Qt::white);
        label->setPalette(pal);
        return label;
    };
    m_lblWS1 = selector("lblWS1", 112);
    m_lblWS2 = selector("lblWS2", 224);

    m_lblDemo = new QLabel(QStringLiteral("KELM DEMO-Modus"), m_front);
    m_lblDemo->setObjectName(QStringLiteral("lblDemo"));
    m_lblDemo->setGeometry(96, 480, 149, 20);
    m_lblDemo->setAlignment(Qt::AlignCenter);
    QFont demoFont = m_lblDemo->font();
    demoFont.setBold(true);
    m_lblDemo->setFont(fittingFont(demoFont, 13, m_lblDemo->height()));
    QPalette demoPal = m_lblDemo->palette();
    demoPal.setColor(QPalette::WindowText, QColor(255, 200, 60));
    m_lblDemo->setPalette(demoPal);
}

void frmKELM::fillDisplayLines()
{
    // Each box is 18 pixels high on a 16-pixel pitch, and the next line's box covers the last
    // two rows: everything a line can show, capitals and descenders alike, must stand within its
    // own 16 rows. Faces put their ink in very different places (Noto Sans Mono's descenders
    // reach far deeper than DejaVu's), so the size comes from the ink of the face fontconfig
    // really gives, and the baseline is placed so that the ink sits in the band with a row to
    // spare above. Sixteen characters fill the line as they do on the unit: the glyphs are
    // spaced out to its width (the line edit's margins and cursor take 6 pixels). The spacing
    // is a percentage of the glyphs' advance: an absolute one is taken in points, not pixels.
    constexpr int kBand = 16;
    QString typable;
    for (char c = '!'; c <= '~'; ++c)
        typable += QLatin1Char(c);
    QFont font = m_txtDisplay[0]->font();
    QRectF ink;
    for (int px = kBand - 1; px > 6; --px) {
        font.setPixelSize(px);
        ink = QFontMetricsF(font).tightBoundingRect(typable);
        if (std::ceil(ink.bottom()) - std::floor(ink.top()) <= kBand - 1)
            break;
    }
    const int baseline = 1 - static_cast<int>(std::floor(ink.top()));
    // The line edit centres its line box of ascent and descent in the box; a top margin with a
    // matching negative bottom one moves it to the baseline wanted.
    const QFontMetrics metrics(font);
    const int shift =
        baseline - (m_txtDisplay[0]->height() + 1 - metrics.height()) / 2 - metrics.ascent();
    const double target = (185 - 2 * 2 - 2) / double(K::DisplaySpalten);
    const double advance = QFontMetricsF(font).horizontalAdvance(QLatin1Char('M'));
    if (advance > 0 && advance < target)
        font.setLetterSpacing(QFont::PercentageSpacing, 100.0 * target / advance);
    for (DisplayLine *line : m_txtDisplay) {
        line->setFont(font);
        line->setTextMargins(0, shift, 0, -shift);
    }
}

void frmKELM::buildMenus()
{
    auto menu = [this](const char *name, const QString &caption) {
        QMenu *m = menuBar()->addMenu(caption);
        m->setObjectName(QLatin1String(name));
        return m;
    };
    auto entry = [](QMenu *m, const char *name, const QString &caption) {
        QAction *a = m->addAction(caption);
        a->setObjectName(QLatin1String(name));
        return a;
    };

    QMenu *datei = menu("mnuDatei", QStringLiteral("Datei"));
    onTriggered(entry(datei, "mnuInfo", QStringLiteral("Info KELM")), [this] { mnuInfo_Click(); });
    onTriggered(entry(datei, "mnuBeenden", QStringLiteral("Beenden")),
                [this] { mnuBeenden_Click(); });

    QMenu *funktionen = menu("mnuKELM", QStringLiteral("Funktionen"));
    m_mnuDauertest = entry(funktionen, "mnuDauertest", QStringLiteral("Dauertest"));
    m_mnuDauertest->setCheckable(true);
    onTriggered(m_mnuDauertest, [this] { mnuDauertest_Click(); });
    onTriggered(entry(funktionen, "mnuReset", QStringLiteral("Reset KELM")),
                [this] { mnuReset_Click(); });

    QMenu *schnittstelle = menu("mnuSchnittstelle", QStringLiteral("Schnittstelle"));
    onTriggered(entry(schnittstelle, "mnuKonfig", QStringLiteral("Konfiguraion")),
                [this] { mnuKonfig_Click(); });

    QMenu *monitor = menu("mnuMonitor", QStringLiteral("Monitor"));
    m_mnuMonitorEA = entry(monitor, "mnuMonitorEA", QStringLiteral("Ein/Aus"));
    m_mnuMonitorEA->setCheckable(true);
    onTriggered(m_mnuMonitorEA, [this] { mnuMonitorEA_Click(); });
    // Beside the monitor, for long runs: every byte and event into a file, shown or not.
    m_mnuMitschnitt = entry(monitor, "mnuMitschnitt", QStringLiteral("Mitschnitt..."));
    m_mnuMitschnitt->setCheckable(true);
    onTriggered(m_mnuMitschnitt, [this] { mnuMitschnitt_Click(); });
}

void frmKELM::Form_Load()
{
    m_link.LinkStatus = linkstatus::Idle;
    showDialogModal();
    if (demoMode())
        return;
    Statusabfrage();
    if (demoMode())
        showDialogModal();
    m_kelm.DisplayLoeschen();
    m_kelm.LEDReset();
}

Dialog *frmKELM::newDialog()
{
    Dialog::Hooks hooks;
    hooks.afterOpen = [this] { Statusabfrage(); };
    hooks.showDemo = [this] { setDemoMode(true); };
    auto *dialog = new Dialog(m_comm, std::move(hooks), this);
    remembered::restorePosition(*dialog, QStringLiteral("Dialog"));
    return dialog;
}

void frmKELM::showDialogModal()
{
    std::unique_ptr<Dialog> dialog(newDialog());
    m_dialog = dialog.get();
    // A close meanwhile (a signal during start-up) must not leave start-up to carry on.
    ++m_pumpDepth;
    dialog->exec();
    --m_pumpDepth;
    remembered::savePosition(*dialog, QStringLiteral("Dialog"));
}

void frmKELM::closeEvent(QCloseEvent *event)
{
    // Form_Unload: never refused, no questions.
    remembered::savePosition(*this, QStringLiteral("Main"));
    if (m_monitor)
        rememberMonitor();
    // Port, lock and journal first: whatever ends the process after this loses nothing.
    m_station.shutDown();
    m_timer1->stop();
    if (m_monitor)
        m_monitor->hide();
    if (m_dialog)
        m_dialog->hide();
    if (m_about)
        m_about->hide();
    event->accept();
    if (m_pumpDepth > 0) {
        // Closed from inside a wait (a send, an acknowledgement, the continuous test) or the
        // start-up dialog: the procedure under way would carry on against a closed port, so
        // end the process here; nothing is left unwritten by now.
        std::exit(0);
    }
    m_endTool();
}

void frmKELM::mnuBeenden_Click()
{
    close();
}

void frmKELM::mnuKonfig_Click()
{
    if (m_dialog) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    Dialog *dialog = newDialog();
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(false);
    connect(dialog, &QDialog::finished, this,
            [dialog] { remembered::savePosition(*dialog, QStringLiteral("Dialog")); });
    m_dialog = dialog;
    dialog->show();
}

void frmKELM::mnuInfo_Click()
{
    if (m_about) {
        m_about->raise();
        m_about->activateWindow();
        return;
    }
    m_about = new frmAbout(this);
    m_about->show();
}

V24Mon &frmKELM::V24Monitor()
{
    if (!m_monitor) {
        m_monitor = std::make_unique<V24Mon>();
        m_monitor->setWindowIcon(windowIcon());
        connect(m_monitor.get(), &V24Mon::hiddenByUser, this, [this] {
            m_mnuMonitorEA->setChecked(false);
            rememberMonitor();
        });
        remembered::restorePosition(*m_monitor, QStringLiteral("Monitor"));
        if (!remembered::monitorAscii())
            m_monitor->mnuShowHex_Click();
    }
    return *m_monitor;
}

void frmKELM::rememberMonitor()
{
    // A hidden window keeps the position it was last shown at.
    remembered::saveMonitorAscii(m_monitor->showAscii());
    remembered::savePosition(*m_monitor, QStringLiteral("Monitor"));
}

void frmKELM::mnuMonitorEA_Click()
{
    if (!m_mnuMonitorEA->isChecked()) {
        V24Monitor().show();
        m_mnuMonitorEA->setChecked(true);
    } else {
        rememberMonitor();
        V24Monitor().hide();
        m_mnuMonitorEA->setChecked(false);
    }
}

void frmKELM::Statusabfrage()
{
    m_kelm.Statusabfrage();
}

void frmKELM::setSelectorLabel(QLabel *label, int position)
{
    label->setText(QString::number(position));
    // Two digits do not fit the designed width; the label grows to the right as needed.
    label->resize(std::max(10, label->sizeHint().width()), 24);
}

void frmKELM::TasteSetzen(std::uint8_t &Taste)
{
    const int c = Taste;
    if (c >= K::KeineTaste && c <= K::TasteMax) {
        const int n = c - K::KeineTaste;
        if (LetzteTaste != 0)
            m_shpTgedrueckt[LetzteTaste - 1]->setFilled(false);
        if (n != 0) {
            m_shpTgedrueckt[n - 1]->setFilled(true);
            LetzteTaste = static_cast<std::uint8_t>(n);
        }
    } else if (c >= K::Wahlschalter1 + 1 && c <= K::Wahlschalter1 + 12) {
        setSelectorLabel(m_lblWS1, c - K::Wahlschalter1);
    } else if (c >= K::Wahlschalter2 + 1 && c <= K::Wahlschalter2 + 12) {
        setSelectorLabel(m_lblWS2, c - K::Wahlschalter2);
    }
}

void frmKELM::DisplayQuittung(std::uint8_t &Quittung)
{
    m_kelm.QuittungsCode = static_cast<std::int16_t>(Quittung - K::Ziffer0);
}

void frmKELM::imgTaste_Click(int Index)
{
    m_kelm.LEDUmschalten(Index);
}

void frmKELM::imgTaste_DblClick(int Index)
{
    m_kelm.LEDBlinkenSetzen(Index);
}

void frmKELM::txtDisplay_KeyPress(int Index, int &KeyAscii)
{
    if (KeyAscii != 13) {
        if (KeyAscii > 127)
            KeyAscii = '*';
        return;
    }
    m_txtDisplay[(Index + 1) % K::DisplayZeilen]->setFocus();
    m_kelm.DisplayZeileSchreiben(Index, m_txtDisplay[Index]->text(),
                                 m_chkBlinken->checkState() == Qt::Checked,
                                 m_chkInvers->checkState() == Qt::Checked);
}

void frmKELM::Timer1_Timer()
{
    m_kelm.Timer1_Timer();
}

void frmKELM::mnuDauertest_Click()
{
    m_kelm.DauertestClick();
}

void frmKELM::mnuReset_Click()
{
    m_kelm.Reset();
}

bool frmKELM::demoMode() const
{
    return !m_lblDemo->isHidden();
}

void frmKELM::setDemoMode(bool on)
{
    if (on && !demoMode())
        m_journal.note(QStringLiteral("demonstration mode on"), true);
    m_lblDemo->setVisible(on);
}

void frmKELM::showMessage(const QString &text)
{
    showBox(QMessageBox::NoIcon, text);
}

void frmKELM::showFileFailure(const QString &path, const QString &reason)
{
    // Worded and shown as the monitor's box for a log it could not write.
    showBox(QMessageBox::Warning,
            QStringLiteral("Die Datei %1 konnte nicht geschrieben werden:\n%2")
                .arg(QDir::toNativeSeparators(path), reason));
}

void frmKELM::showBox(int icon, const QString &text)
{
    // The box belongs to the window in front: during start-up that is the dialog, not yet
    // this window, and a box of nobody's would stand in the middle of the screen.
    QWidget *owner = QApplication::activeModalWidget();
    if (!owner && m_dialog && m_dialog->isVisible())
        owner = m_dialog;
    if (!owner && isVisible())
        owner = this;
    QMessageBox box(QMessageBox::Icon(icon), QApplication::applicationName(), text, QMessageBox::Ok,
                    owner);
    box.setObjectName(QStringLiteral("kelmMessage"));
    // Like a wait: a close meanwhile must not leave the procedure that asked to carry on.
    ++m_pumpDepth;
    box.exec();
    --m_pumpDepth;
}

void frmKELM::pumpEvents()
{
    ++m_pumpDepth;
    m_pump.pass();
    --m_pumpDepth;
}

bool frmKELM::dauertestTicked() const
{
    return m_mnuDauertest->isChecked();
}

void frmKELM::setDauertestTicked(bool on)
{
    m_mnuDauertest->setChecked(on);
}

bool frmKELM::ledLit(int key) const
{
    return m_shpTaste[key]->tag().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

void frmKELM::setLedLit(int key, bool lit)
{
    m_shpTaste[key]->setTag(lit ? QStringLiteral("True") : QStringLiteral("False"));
}

void frmKELM::setLedYellow(int key, bool yellow)
{
    m_shpTaste[key]->setFillColor(yellow ? kLedYellow : kLedGrey);
}

void frmKELM::setDisplayBoxEnabled(int line, bool enabled)
{
    m_txtDisplay[line]->setEnabled(enabled);
}

void frmKELM::setDisplayBoxText(int line, const QString &text)
{
    m_txtDisplay[line]->setText(text);
}

void frmKELM::setDisplayBoxCentred(int line, bool centred)
{
    m_txtDisplay[line]->setAlignment(centred ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter);
}

} // namespace kelm
