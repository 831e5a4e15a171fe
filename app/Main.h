#pragma once

// Builds the real services, opens the main window and runs the event loop. Returns the exit status; when the
// program was asked to end by SIGTERM, SIGHUP or SIGINT, it ends by that signal once everything is torn down.
int Main(int argc, char* argv[]);
