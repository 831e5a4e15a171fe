#pragma once

// Reads the command line (--help and --version need no display) and builds the real services; then opens the main
// window and runs the event loop, or with --capture runs one capture without the main window. Returns the exit
// status; when the program was asked to end by SIGTERM, SIGHUP or SIGINT, it ends by that signal once everything is
// torn down.
int Main(int argc, char* argv[]);
