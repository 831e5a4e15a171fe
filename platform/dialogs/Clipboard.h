#pragma once

// The system clipboard.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Empties the clipboard; throws Failure when it cannot be emptied now.
    virtual void clear() = 0;
};
