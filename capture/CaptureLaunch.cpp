#include "capture/CaptureLaunch.h"

#include "capture/FileChecks.h"
#include "capture/Form2.h"
#include "capture/MainWindowLink.h"
#include "platform/Services.h"
#include "platform/dialogs/Dialogs.h"
#include "platform/errors/ErrorReport.h"
#include "platform/errors/Failure.h"
#include "platform/errors/Trap.h"
#include "platform/process/EventLoop.h"
#include "platform/process/LaunchSteps.h"

#include <QPointer>

void PushButton1_Click(Services& services, MainWindowLink& mainWindow)
{
    // One run at a time. A second click while an overlay is loaded (the bounce of a double click, handled in the
    // load's yield, or the main window brought back over the overlay) brings that overlay forward; a second
    // overlay would freeze a picture of the first.
    if (Form2* running = Form2::loaded()) {
        running->bringForward();
        return;
    }
    noteLaunchStep("start clicked");
    Trap trap(services.dialogs, services.faults, mainWindow.widget(),
              QString::fromLatin1(Location::Form1_PushButton1_Click));
    if (trap.test(100, [&] { return FolderExists(mainWindow.folderText()); })) {
        if (trap.test(102, [&] { return mainWindow.hideFlag() == 1; })) {
            trap.step(104, [&] { mainWindow.hideMainWindow(); });
            noteLaunchStep("main window hidden");
        }
        // The overlay owns itself and deletes itself once unloaded, possibly during the yields below.
        QPointer<Form2> overlay;
        trap.step(108, [&] {
            overlay = new Form2(services, &mainWindow);
            overlay->setOpeningPress(mainWindow.lastStartPress());
            overlay->Show();
        });
        // An overlay that failed to come up can neither end the run nor bring the main window back: it is unloaded
        // so that the next click can start a run, and a hidden main window comes back at once.
        if (overlay && !overlay->isVisible()) {
            overlay->Unload();
        }
        if (!overlay || overlay->isUnloaded()) {
            mainWindow.showMainWindow();
        }
        trap.step(110, [&] {
            if (!overlay) {
                throw Failure(QStringLiteral("The capture window is gone and cannot take the focus"));
            }
            overlay->SetFocus();
        });
        trap.step(112, [&] { yieldToEventLoop(); });
        trap.step(114, [&] { yieldToEventLoop(); });
        return;
    }
    trap.step(116, [&] {
        services.dialogs.messageBox(mainWindow.widget(), mainWindow.applicationTitle(),
                                    QStringLiteral("Folder does not exist. Please select another folder."),
                                    Dialogs::Icon::None);
    });
}
