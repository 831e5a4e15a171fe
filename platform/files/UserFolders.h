#pragma once

#include <QString>

// The user's home folder: $HOME when it is an absolute path, else the one the password database gives for this
// user; empty when neither is known.
QString homeFolder();

// Where per-user settings live: $XDG_CONFIG_HOME when it is an absolute path (a relative one is ignored, as the
// XDG rules say), else ".config" in the home folder. Empty when no home folder is known.
QString configFolder();

// Makes the rest of the process, Qt's own standard folders included, follow the same rules: sets HOME from the
// password database when it is unset or not absolute, and drops a relative XDG_CONFIG_HOME. Call before anything
// else reads them.
void applyUserFolderRules();
