#pragma once

// The steps of a capture's launch as they end, for whoever looks into where its time goes: each as a line of the
// category "quosh.launch" with the monotonic clock's time in milliseconds, "quosh.launch: 12345.678 portal answered".
// Off unless asked for, with QT_LOGGING_RULES="quosh.launch.debug=true"; then written where the toolkit writes its
// messages (standard error).
void noteLaunchStep(const char* step);
