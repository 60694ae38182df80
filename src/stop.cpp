// The stop signals' handler and the two things it touches: the only state of a run that
// must be global, since a handler reaches nothing else.
#include "stop.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

namespace {

// In L mode the handler may run on either thread, so the notes must be atomic ones.
std::atomic<int> signalCaught = 0;
std::atomic<bool> stopByThread = false;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
int wakePipe[2] = {-1, -1};
int shutOnStop = -1;

void wakeEveryWaiter()
{
    [[maybe_unused]] const ssize_t ignored = write(wakePipe[1], "", 1);  // never read: it stays readable
    if (shutOnStop >= 0)
        shutdown(shutOnStop, SHUT_WR);
}

extern "C" void noteStop(int sig)
{
    if (signalCaught != 0) {  // asked twice: the output may be stuck, so leave at once
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    const int saved = errno;
    signalCaught = sig;
    wakeEveryWaiter();
    errno = saved;
}

}  // namespace

Ending catchStopSignals(int sendingSock)
{
    if (pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) < 0)
        return failure("pipe");
    shutOnStop = sendingSock;
    struct sigaction action {};
    action.sa_handler = noteStop;
    action.sa_flags = SA_RESTART;  // an interrupted write of standard output must not fail
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler != SIG_IGN)  // a signal ignored by whoever started us stays ignored
            sigaction(sig, &action, nullptr);
    }
    return {};
}

bool stopAsked() { return signalCaught != 0 || stopByThread; }

int stopSignalCaught() { return signalCaught; }

void askStop()
{
    stopByThread = true;
    wakeEveryWaiter();
}

int stopNotice() { return wakePipe[0]; }
