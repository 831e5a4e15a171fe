#pragma once

struct Services;
class MainWindowLink;

// "Start Capturing": tests the output folder, hides the main window when asked, and shows a new overlay over a
// fresh picture of the screen. Returns once the overlay is up (or the folder message has been dismissed); the
// overlay's mouse events drive the rest of the run.
void PushButton1_Click(Services& services, MainWindowLink& mainWindow);
