#pragma once

class QString;

// The desktop shell: well-known folders and opening addresses in the user's programs.
class Shell {
public:
    virtual ~Shell() = default;
    // The user's desktop folder as a path without a trailing separator; throws Failure when there is none.
    virtual QString desktopFolder() = 0;
    // Starts the user's browser on `url` without waiting for it; throws Failure when it cannot be started.
    virtual void openUrl(const QString& url) = 0;
};
