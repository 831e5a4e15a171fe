#include "capture/Form2.h"

#include "capture/FileChecks.h"
#include "capture/HandlerScope.h"
#include "capture/MainWindowLink.h"
#include "capture/OutputFile.h"
#include "capture/OverlayMapping.h"
#include "capture/OverlayPointer.h"
#include "capture/OverlayWindow.h"
#include "imaging/OutputFormat.h"
#include "imaging/Picture.h"
#include "platform/Services.h"
#include "platform/dialogs/Dialogs.h"
#include "platform/errors/ErrorReport.h"
#include "platform/errors/Failure.h"
#include "platform/errors/Trap.h"
#include "platform/files/CursorFile.h"
#include "platform/files/ProgramFiles.h"
#include "platform/process/Clock.h"
#include "platform/process/EventLoop.h"
#include "platform/process/LaunchSteps.h"
#include "platform/screen/ScreenService.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QTimer>

#include <cmath>

Form2::Form2(Services& services, MainWindowLink* mainWindow)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint)
    , m_services(services)
    , m_mainWindow(mainWindow)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Form2"));
    setCursor(Qt::CrossCursor);
    setMouseTracking(true);
    // Every pixel is painted from the picture; nothing needs clearing first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    // The toolkit's own view of the screen never fails; it maps the mouse until the grab has measured the screen,
    // and for good when the screen service cannot, so that a click still ends the run.
    const ScreenMetrics toolkit = toolkitMetrics(QWidget::screen());
    m_screen = screenObject(toolkit);
    m_scale = pictureScaleOf(toolkit);
}

Form2::~Form2() = default;

void Form2::Show()
{
    Form_Load();
    if (m_unloaded) {
        return;
    }
    m_services.screen.keepOffTaskbar(*this);
    placeOnPrimaryScreen(*this);
    showFullScreen();
    m_shown.layOver(m_services.screen, *this);
    noteLaunchStep("overlay shown");
}

// While the screen service waits for its picture (a desktop portal's answer takes a tenth of a second) the window is
// made, unshown, and its buffer drawn. A grab that does not wait in the event loop leaves nothing to overlap, and this
// does nothing after it.
void Form2::prepareWindow()
{
    if (!m_grabbing || m_unloaded || isVisible()) {
        return;
    }
    placeOnPrimaryScreen(*this);
    create();
    if (drawBufferAhead(*this)) {
        noteLaunchStep("overlay prepared");
    }
}

void Form2::SetFocus()
{
    if (m_unloaded || !isVisible()) {
        throw Failure(QStringLiteral("The capture window is not shown and cannot take the focus"));
    }
    activateWindow();
    setFocus(Qt::ActiveWindowFocusReason);
}

void Form2::bringForward()
{
    if (m_unloaded || !isVisible()) {
        return;
    }
    raise();
    activateWindow();
}

Form2* Form2::loaded()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* form = qobject_cast<Form2*>(widget);
        // Hidden with no handler running, an overlay is what is left of a run whose unload failed: no longer a run.
        if (form && !form->m_unloaded && (form->isVisible() || form->m_handlerDepth > 0)) {
            return form;
        }
    }
    return nullptr;
}

void Form2::Unload()
{
    if (m_unloaded) {
        return;
    }
    m_unloaded = true;
    hide();
    PicClip.setPicture(nullptr);
    m_shown.clear();
    Picture.reset();
    if (m_handlerDepth == 0) {
        deleteLater();
    }
}

Form2::BandView Form2::band() const
{
    return {QRectF(shRect.Left, shRect.Top, shRect.Width, shRect.Height),
            shRect.Visible,
            DragState == 0,
            QPointF(AnchorX, AnchorY),
            QPointF(PointerX, PointerY),
            m_shown.band()};
}

float Form2::inScaleMode(float twips, float twipsPerPixel) const
{
    return ScaleMode == 3 ? twips / twipsPerPixel : twips;
}

void Form2::Form_Load()
{
    HandlerScope scope(*this, m_handlerDepth, m_unloaded);
    Trap trap(m_services.dialogs, m_services.faults, this, QString::fromLatin1(Location::Form2_Form_Load));
    const QString cursorFile = m_services.programFolder + QStringLiteral("/HAND-M.CUR");
    if (trap.test(100, [&] { return FileExists(cursorFile); })) {
        trap.step(102, [&] { MouseIcon = loadCursorFile(cursorFile); });
    }
    trap.step(102, [&] { setWindowIcon(programIcon(FirstProgramIconSize)); });
    trap.step(104, [&] { ClearClipboard(m_services.clipboard); });
    trap.step(106, [&] { shRect.Visible = false; });
    trap.step(108, [&] { shRect.Width = 0; });
    trap.step(110, [&] { shRect.Height = 0; });
    trap.step(112, [&] { DragState = 1; });
    trap.step(114, [&] { yieldToEventLoop(); });
    QTimer::singleShot(0, this, [this] { prepareWindow(); });
    trap.step(116, [&] {
        const QScopedValueRollback grabbing(m_grabbing, true);
        std::unique_ptr<::Picture> grabbed = GrabScreen(m_services.screen);
        // Measured after the grab: a screen read from a desktop's picture knows its own pixels once one has come.
        const ScreenMetrics metrics = m_services.screen.metrics();
        m_screen = screenObject(metrics);
        m_scale = pictureScaleOf(metrics);
        Picture = std::move(grabbed);
        pictureChanged();
    });
    syncBand();
}

void Form2::Form_Activate()
{
    HandlerScope scope(*this, m_handlerDepth, m_unloaded);
    Trap trap(m_services.dialogs, m_services.faults, this, QString::fromLatin1(Location::Form2_Form_Activate));
    trap.step(100, [&] { m_services.screen.setTopmost(*this, true); });
}

void Form2::Form_MouseDown(qint16 /*Button*/, qint16 /*Shift*/, float X, float Y)
{
    HandlerScope scope(*this, m_handlerDepth, m_unloaded);
    Trap trap(m_services.dialogs, m_services.faults, this, QString::fromLatin1(Location::Form2_Form_MouseDown));
    trap.step(100, [&] { m_services.screen.setTopmost(*this, false); });
    trap.step(102, [&] { DragState = 0; });
    trap.step(104, [&] { AnchorX = X; });
    trap.step(106, [&] { AnchorY = Y; });
}

void Form2::Form_MouseMove(qint16 Button, qint16 /*Shift*/, float X, float Y)
{
    if (Button == 2) {
        return;
    }
    HandlerScope scope(*this, m_handlerDepth, m_unloaded);
    Trap trap(m_services.dialogs, m_services.faults, this, QString::fromLatin1(Location::Form2_Form_MouseMove));
    trap.step(102, [&] { PointerX = X; });
    trap.step(104, [&] { PointerY = Y; });
    if (trap.test(106, [&] { return DragState == 0; })) {
        trap.step(108, [&] { shRect.Width = std::abs(PointerX - AnchorX); });
        trap.step(110, [&] { shRect.Height = std::abs(PointerY - AnchorY); });
        trap.step(112, [&] { shRect.Visible = true; });
        if (trap.test(114, [&] { return PointerX > AnchorX && PointerY > AnchorY; })) {
            trap.step(116, [&] { shRect.Top = AnchorY; });
            trap.step(118, [&] { shRect.Left = AnchorX; });
        }
        if (trap.test(120, [&] { return PointerX > AnchorX && PointerY < AnchorY; })) {
            trap.step(122, [&] { shRect.Top = PointerY; });
            trap.step(124, [&] { shRect.Left = AnchorX; });
        }
        if (trap.test(126, [&] { return PointerX < AnchorX && PointerY < AnchorY; })) {
            trap.step(128, [&] { shRect.Top = PointerY; });
            trap.step(130, [&] { shRect.Left = PointerX; });
        }
        if (trap.test(132, [&] { return PointerX < AnchorX && PointerY > AnchorY; })) {
            trap.step(134, [&] { shRect.Top = AnchorY; });
            trap.step(136, [&] { shRect.Left = PointerX; });
        }
    }
    // The band is repainted in the yield, which finds it complete.
    syncBand();
    trap.step(138, [&] { yieldToEventLoop(); });
}

void Form2::Form_MouseUp(qint16 Button, qint16 /*Shift*/, float /*X*/, float /*Y*/)
{
    if (Button == 2) {
        return; // the drag goes on
    }
    HandlerScope scope(*this, m_handlerDepth, m_unloaded);
    Trap trap(m_services.dialogs, m_services.faults, this, QString::fromLatin1(Location::Form2_Form_MouseUp));
    trap.step(102, [&] { hideWithoutBand(); });
    trap.step(104, [&] { PicClip.setPicture(Picture.get()); });
    trap.step(110, [&] { DragState = 1; });
    qint16 previousScaleMode = 0;
    trap.step(112, [&] { previousScaleMode = ScaleMode; });
    trap.step(114, [&] { ScaleMode = 3; });
    trap.step(116, [&] { PicClip.ClipX = roundToInt16(inScaleMode(shRect.Left, m_screen.TwipsPerPixelX)); });
    trap.step(118, [&] { PicClip.ClipY = roundToInt16(inScaleMode(shRect.Top, m_screen.TwipsPerPixelY)); });
    trap.step(120, [&] { PicClip.ClipWidth = roundToInt16(inScaleMode(shRect.Width, m_screen.TwipsPerPixelX)); });
    trap.step(122, [&] { PicClip.ClipHeight = roundToInt16(inScaleMode(shRect.Height, m_screen.TwipsPerPixelY)); });
    if (trap.test(124, [&] { return isBandTooSmall(); })) {
        trap.step(126, [&] { mainWindow().showMainWindow(); });
        trap.step(126, [&] { Unload(); });
        return;
    }
    trap.step(128, [&] {
        // The overlay is hidden and shows nothing more. The clip takes the full-screen picture over and reads its rows
        // in place; nothing else holds it now.
        m_shown.clear();
        Picture = PicClip.Clip(Picture);
        PicClip.setPicture(nullptr);
    });
    trap.step(130, [&] { ScaleMode = previousScaleMode; });

    // The name's time is read once, as the path is built.
    const auto pathFor = [&](const QString& extension) {
        const QString folder = mainWindow().folderText();
        return capturePath(folder, captureFileName(m_services.clock.now(), extension));
    };
    // Where the main window cannot tell the format, the test has failed and the block it guards runs: the bitmap.
    OutputFormat format = OutputFormat::Bmp;
    trap.test(132, [&] {
        format = mainWindow().outputFormat();
        return format == OutputFormat::Bmp;
    });
    const int saveLine = format == OutputFormat::Bmp ? 134 : 136;
    const bool saved = trap.step(saveLine, [&] { savePictureAs(format, picture(), pathFor(fileExtension(format))); });
    trap.step(138, [&] { shRect.Visible = false; });
    trap.step(140, [&] { mainWindow().showMainWindow(); });
    // A failed save has been reported already; "Done." would tell the user the opposite.
    if (saved) {
        trap.step(142, [&] {
            MainWindowLink& main = mainWindow();
            m_services.dialogs.messageBox(main.widget(), main.applicationTitle(), QStringLiteral("Done."),
                                          Dialogs::Icon::None);
        });
    }
    trap.step(144, [&] { Unload(); });
}

bool Form2::isBandTooSmall() const
{
    return OverlayBand::isTooSmallToCut(inScaleMode(shRect.Width, m_screen.TwipsPerPixelX),
                                        inScaleMode(shRect.Height, m_screen.TwipsPerPixelY));
}

MainWindowLink& Form2::mainWindow() const
{
    if (!m_mainWindow) {
        throw Failure(QStringLiteral("There is no main window"));
    }
    return *m_mainWindow;
}

const ::Picture& Form2::picture() const
{
    if (!Picture) {
        throw Failure(QStringLiteral("There is no picture to save"));
    }
    return *Picture;
}

void Form2::pictureChanged()
{
    m_shown.setPicture(Picture.get(), m_scale, devicePixelRatioF());
    update();
}

QRegion Form2::followBand(const ShapeRect& shape)
{
    return m_shown.follow(shape, m_screen, palette().color(QPalette::WindowText), devicePixelRatioF());
}

void Form2::syncBand()
{
    const QRegion dirty = followBand(shRect);
    if (!dirty.isEmpty() && isVisible()) {
        update(dirty);
    }
}

// A compositor that fades a closing window out fades the last picture it has of it, over the main window that comes
// back: a capture started before the fade ends would hold the band. Without it the overlay fades out as the screen it
// froze.
void Form2::hideWithoutBand()
{
    ShapeRect none = shRect;
    none.Visible = false;
    const QRegion dirty = followBand(none);
    if (!dirty.isEmpty() && isVisible()) {
        repaint(dirty);
    }
    hide();
}

void Form2::abandon()
{
    if (m_unloaded) {
        return;
    }
    if (m_mainWindow) {
        m_mainWindow->showMainWindow();
    }
    Unload();
}

bool Form2::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate && !m_unloaded) {
        Form_Activate();
    }
    return QWidget::event(event);
}

void Form2::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    m_shown.paint(painter, event->region(), devicePixelRatioF(), palette().color(QPalette::Window),
                  palette().color(QPalette::WindowText));
    if (!m_painted) {
        m_painted = true;
        addLargeIconSizesSoon(*this);
    }
}

void Form2::mousePressEvent(QMouseEvent* event)
{
    if (m_unloaded) {
        return;
    }
    const auto mouse = m_pointer.press(*event, m_screen, m_scale, m_services.clock.doubleClickInterval());
    if (mouse) {
        Form_MouseDown(mouse->Button, mouse->Shift, mouse->X, mouse->Y);
    }
}

void Form2::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The second press of a double click is a press like any other.
    mousePressEvent(event);
}

void Form2::mouseMoveEvent(QMouseEvent* event)
{
    if (m_unloaded) {
        return;
    }
    const MouseArguments mouse = OverlayPointer::move(*event, m_screen, m_scale);
    Form_MouseMove(mouse.Button, mouse.Shift, mouse.X, mouse.Y);
}

void Form2::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_unloaded) {
        return;
    }
    if (const auto mouse = m_pointer.release(*event, m_screen, m_scale)) {
        Form_MouseUp(mouse->Button, mouse->Shift, mouse->X, mouse->Y);
    }
}

void Form2::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        abandon();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Form2::closeEvent(QCloseEvent* event)
{
    // A close from the window manager ends the run like a click without a drag. The overlay unloads itself, so
    // the toolkit's own close (which could end the program with the main window hidden) does not run.
    event->ignore();
    abandon();
}
