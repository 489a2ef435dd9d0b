#include "Interruption.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace TQ::PLATFORM::FILEMAP {

namespace {

volatile std::sig_atomic_t deferrals = 0;
volatile std::sig_atomic_t pending = 0;
char message[512];
std::size_t messageLength = 0;

void onInterrupt(int)
{
    if (deferrals > 0) {
        pending = 1;
        return;
    }
    // Only async-signal-safe calls from here on.
    if (::write(STDOUT_FILENO, message, messageLength) < 0) {
    }
    ::_exit(1);
}

} // namespace

void installInterruptHandlers(const char *text)
{
    messageLength = std::min(std::strlen(text), sizeof message - 2);
    std::memcpy(message, text, messageLength);
    message[messageLength++] = '\n';
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

InterruptDeferral::InterruptDeferral()
{
    deferrals = deferrals + 1;
}

InterruptDeferral::~InterruptDeferral()
{
    deferrals = deferrals - 1;
}

bool interruptionPending()
{
    return pending != 0;
}

} // namespace TQ::PLATFORM::FILEMAP
