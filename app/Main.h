#pragma once

// Builds the real services, opens the main window and runs the event loop.
int Main(int argc, char* argv[]);
