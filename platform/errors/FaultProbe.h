#pragma once

class QString;

// Called by the trap before every step of a trapped handler. Production code has none; tests install one to
// make any chosen step fail by throwing from here.
class FaultProbe {
public:
    virtual ~FaultProbe() = default;
    virtual void beforeStep(const QString& location, int line) = 0;
};
