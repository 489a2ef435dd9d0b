// SIGINT and SIGTERM for a run that changes files in place: outside a deferral they end the
// process at once, inside one they are only noted, so that the run can put back what it wrote
// before it ends.
#pragma once

namespace TQ::PLATFORM::FILEMAP {

// From now on SIGINT and SIGTERM write the message and a line end to standard output and end the
// process with exit code 1, unless a deferral is alive: then they only make
// interruptionPending() true. The message is copied.
void installInterruptHandlers(const char *message);

// While one lives, SIGINT and SIGTERM are noted instead of ending the process.
class InterruptDeferral
{
public:
    InterruptDeferral();
    ~InterruptDeferral();
    InterruptDeferral(const InterruptDeferral &) = delete;
    InterruptDeferral &operator=(const InterruptDeferral &) = delete;
};

// Whether SIGINT or SIGTERM came while a deferral was alive.
bool interruptionPending();

} // namespace TQ::PLATFORM::FILEMAP
