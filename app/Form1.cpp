#include "app/Form1.h"

#include "app/AddFolder.h"
#include "app/CheckBox.h"
#include "app/MainModule.h"
#include "app/MainWindowControls.h"
#include "app/Skin.h"
#include "capture/CaptureLaunch.h"
#include "capture/FileChecks.h"
#include "platform/Services.h"
#include "platform/errors/ErrorReport.h"
#include "platform/errors/Trap.h"
#include "platform/files/CursorFile.h"
#include "platform/files/ProgramFiles.h"
#include "platform/process/EventLoop.h"
#include "platform/screen/ScreenService.h"
#include "platform/settings/SettingsBackend.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

// Selecting an option button clears the other one of its frame; clearing one leaves the other as it is.
void setOptionValue(QRadioButton& button, bool selected)
{
    if (selected) {
        button.setChecked(true);
    } else if (button.isChecked()) {
        button.setAutoExclusive(false);
        button.setChecked(false);
        button.setAutoExclusive(true);
    }
}

// The title of the settings' warnings: the application title once set-up has set it.
QString settingsTitle(const QString& appTitle)
{
    return appTitle.isEmpty() ? QString::fromLatin1(ProductName) : appTitle;
}

// The controls at the screen's logical DPI.
MainWindowControls createControls(QWidget& window, ScreenService& screen)
{
    const ScreenMetrics metrics = screen.metrics();
    return createMainWindowControls(window, metrics.logicalDpiX, metrics.logicalDpiY);
}

QString booleanText(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

} // namespace

Form1::Form1(Services& services, QWidget* parent)
    : QWidget(parent, MainWindowFlags)
    , m_services(services)
    , m_controls(createControls(*this, services.screen))
    , m_store(services.settings, services.dialogs)
    , m_endProcess([] { std::quick_exit(EXIT_SUCCESS); })
{
    setObjectName(QStringLiteral("Form1"));
    connectControls();
    connect(this, &Form1::firstFrameShown, this, [this] {
        if (!windowIcon().isNull()) {
            setWindowIcon(programIcon());
        }
    });
}

void Form1::connectControls()
{
    connect(m_controls.Option1, &QRadioButton::toggled, this, [this](bool on) {
        if (on) {
            Option1_Click();
        }
    });
    connect(m_controls.Option2, &QRadioButton::toggled, this, [this](bool on) {
        if (on) {
            Option2_Click();
        }
    });
    connect(m_controls.Check1, &QCheckBox::stateChanged, this, [this] { Check1_Click(); });
    connect(m_controls.Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(); });
    connect(m_controls.PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(m_controls.PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });

    for (QWidget* watched :
         {static_cast<QWidget*>(this), static_cast<QWidget*>(m_controls.Frame1),
          static_cast<QWidget*>(m_controls.Frame2), static_cast<QWidget*>(m_controls.Frame3),
          static_cast<QWidget*>(m_controls.PushButton1), static_cast<QWidget*>(m_controls.PushButton4)}) {
        watched->setMouseTracking(true);
        watched->installEventFilter(this);
    }
}

void Form1::Form_Load()
{
    Trap trap(m_services.dialogs, m_services.faults, this, QString::fromLatin1(Location::Form1_Form_Load));
    const QString productName = QString::fromLatin1(ProductName);
    trap.step(100, [&] { ApplySkin(*this, m_services.programFolder); });
    trap.step(104, [&] { setWindowTitle(productName); });
    // The frame and the task bar show the small sizes; the larger ones follow once the window is on the screen.
    trap.step(104, [&] { setWindowIcon(programIcon(FirstProgramIconSize)); });
    trap.step(104, [&] { m_appTitle = SetAppTitle(productName); });
    const QString handFile = m_services.programFolder + QStringLiteral("/HAND-M.CUR");
    if (trap.test(106, [&] { return FileExists(handFile); })) {
        trap.step(108, [&] {
            m_handCursor = loadCursorFile(handFile);
            m_hasHandCursor = true;
        });
    }
    trap.step(110, [&] { HomePageChance(m_services.clock, m_services.random, m_services.shell); });

    // Restoring a value raises the control's change handler, which stores the options as they now are. Those writes
    // are held until every key has been read, so that they cannot overwrite a stored value before it is read (with
    // "Option1" and "Option2" both "True", storing "Option2" = "False" for the "BMP" button would hide the "JPG" one).
    m_restoring = true;
    // A store that cannot be read is told once, at the first step, with its cause, in plain words: it is the file's
    // fault, not the program's. The controls then keep the state they were made with rather than show defaults as if
    // they were what is stored, and nothing is written over it.
    const auto restore = [&](int line, const std::function<void()>& body) {
        if (m_store.isUnreadable()) {
            return;
        }
        trap.step(line, [&] {
            try {
                body();
            } catch (const UnreadableSettings& failure) {
                m_store.tellUnreadable(this, settingsTitle(m_appTitle), failure.description());
            }
        });
    };
    restore(128, [&] {
        setOptionValue(*m_controls.Option2, toBoolean(m_store.get(QStringLiteral("Option1"), QStringLiteral("1")),
                                                      QStringLiteral("Option1")));
    });
    restore(130, [&] {
        setOptionValue(*m_controls.Option1, toBoolean(m_store.get(QStringLiteral("Option2"), QStringLiteral("0")),
                                                      QStringLiteral("Option2")));
    });
    restore(132, [&] {
        const QString folder = DefaultOutputFolder(m_services.shell);
        m_controls.Text1->setText(m_store.get(QStringLiteral("Text1"), folder));
    });
    restore(134, [&] {
        m_controls.Check1->setValue(
            toCheckState(m_store.get(QStringLiteral("Check1"), QStringLiteral("1")), QStringLiteral("Check1")));
    });
    m_restoring = false;
    if (m_store.isUnreadable()) {
        m_heldWrites.clear();
    }
    // Only the last value of each key counts, and a value already stored needs no write: a normal start writes
    // nothing, and each write waits for the disk.
    QList<QPair<QString, QString>> latest;
    for (const auto& [key, text] : std::exchange(m_heldWrites, {})) {
        const auto same = std::find_if(latest.begin(), latest.end(),
                                       [&wanted = key](const auto& held) { return held.first == wanted; });
        if (same == latest.end()) {
            latest.append({key, text});
        } else {
            same->second = text;
        }
    }
    for (const auto& [key, text] : latest) {
        if (!m_store.holds(key, text)) {
            store(key, text);
        }
    }
}

void Form1::store(const QString& key, const QString& text)
{
    if (m_restoring) {
        m_heldWrites.append({key, text});
        return;
    }
    m_store.saveFromHandler(this, settingsTitle(m_appTitle), key, text);
}

// The keys cross the controls: "Option1" holds "BMP" (Option2), "Option2" holds "JPG" (Option1).
void Form1::storeOptions()
{
    store(QStringLiteral("Option1"), booleanText(m_controls.Option2->isChecked()));
    store(QStringLiteral("Option2"), booleanText(m_controls.Option1->isChecked()));
}

void Form1::Option1_Click()
{
    storeOptions();
}

void Form1::Option2_Click()
{
    storeOptions();
}

void Form1::Check1_Click()
{
    store(QStringLiteral("Check1"), QString::number(m_controls.Check1->value()));
}

void Form1::Text1_Change()
{
    store(QStringLiteral("Text1"), m_controls.Text1->text());
}

void Form1::PushButton1_Click()
{
    ::PushButton1_Click(m_services, *this);
}

void Form1::PushButton4_Click()
{
    ::PushButton4_Click(m_services, m_store, *this, *m_controls.Text1);
}

void Form1::setMousePointer(int kind)
{
    if (kind == m_mousePointer) {
        return;
    }
    m_mousePointer = kind;
    if (kind == MousePointer::Hourglass) {
        setCursor(Qt::WaitCursor);
    } else if (kind == MousePointer::Custom && m_hasHandCursor) {
        setCursor(m_handCursor);
    } else {
        unsetCursor();
    }
}

void Form1::Form_MouseMove()
{
    setMousePointer(nextMousePointer(m_mousePointer, false));
}

void Form1::Frame1_MouseMove()
{
    setMousePointer(nextMousePointer(m_mousePointer, false));
}

void Form1::Frame2_MouseMove()
{
    setMousePointer(nextMousePointer(m_mousePointer, false));
}

void Form1::Frame3_MouseMove()
{
    setMousePointer(nextMousePointer(m_mousePointer, false));
}

void Form1::PushButton1_MouseMove()
{
    setMousePointer(nextMousePointer(m_mousePointer, true));
}

void Form1::PushButton4_MouseMove()
{
    setMousePointer(nextMousePointer(m_mousePointer, true));
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_controls.PushButton1 && event->type() == QEvent::MouseButtonPress) {
        if (const auto* press = static_cast<QMouseEvent*>(event); press->button() == Qt::LeftButton) {
            m_lastStartPress = press->timestamp();
        }
    }
    if (watched == m_controls.PushButton1 && event->type() == QEvent::Enter) {
        // A capture is likely soon: what makes the first grab slow is best done now, while no one waits.
        m_services.screen.prepare();
    }
    if (event->type() != QEvent::MouseMove) {
        return QWidget::eventFilter(watched, event);
    }
    // A move that a child ignored travels on to its parent; only the control right under the pointer handles it.
    auto* control = static_cast<QWidget*>(watched);
    if (control->childAt(static_cast<QMouseEvent*>(event)->position().toPoint())) {
        return false;
    }
    if (watched == this) {
        Form_MouseMove();
    } else if (watched == m_controls.Frame1) {
        Frame1_MouseMove();
    } else if (watched == m_controls.Frame2) {
        Frame2_MouseMove();
    } else if (watched == m_controls.Frame3) {
        Frame3_MouseMove();
    } else if (watched == m_controls.PushButton1) {
        PushButton1_MouseMove();
    } else if (watched == m_controls.PushButton4) {
        PushButton4_MouseMove();
    }
    return false;
}

void Form1::Form_QueryUnload()
{
    Trap trap(m_services.dialogs, m_services.faults, this, QString::fromLatin1(Location::Form1_Form_QueryUnload));
    trap.step(100, [] { yieldToEventLoop(); });
    trap.step(102, [&] { m_endProcess(); });
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    Form_QueryUnload();
}

void Form1::showEvent(QShowEvent* event)
{
    if (!m_placed) {
        m_placed = true;
        if (const QScreen* screen = this->screen()) {
            QRect placed(QPoint(), size());
            placed.moveCenter(screen->geometry().center());
            move(placed.topLeft());
        }
    }
    QWidget::showEvent(event);
}

void Form1::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    if (!m_painted) {
        m_painted = true;
        // The frame is handed to the display after the paint events; a queued call runs after that.
        QMetaObject::invokeMethod(this, &Form1::firstFrameShown, Qt::QueuedConnection);
    }
}

OutputFormat Form1::outputFormat() const
{
    return m_controls.Option1->isChecked() ? OutputFormat::Jpeg : OutputFormat::Bmp;
}

QString Form1::folderText() const
{
    return m_controls.Text1->text();
}

int Form1::hideFlag() const
{
    return m_controls.Check1->value();
}

void Form1::showMainWindow()
{
    // On the screen before "Done." or a report comes: a desktop that raises the window it mapped last would
    // otherwise put the main window over its own box, which no click can then reach.
    m_services.screen.showWindow(*this);
}

void Form1::hideMainWindow()
{
    // Hidden means gone from the screen: the overlay's grab follows at once.
    m_services.screen.hideWindow(*this);
}
