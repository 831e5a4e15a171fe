#pragma once

class QWidget;

// Puts a top-level window above every window that is not topmost, or back among them, without re-creating it
// (the window keeps its identity, its position and its mapped state). On Wayland it succeeds without effect.
void setTopmost(QWidget& window, bool topmost);

// Asks the window manager to leave the window out of the taskbar and the pager. Creates the native window when
// it does not exist yet; works before and after the window is shown.
void keepOffTaskbar(QWidget& window);
