// R mode, the datagram line, and the receive loop that the L-mode listener runs too.
#include "transfer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

// A stop signal is only noted by its handler; the receive loop writes out what it holds and
// then ends the process by the same signal. The pipe wakes a loop that waits for datagrams.
// In L mode the handler may run on the sending thread, so the note must be an atomic one.
std::atomic<int> stopSignal = 0;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
int wakePipe[2] = {-1, -1};

// Datagrams still queued when a stop arrives are printed too, but a flood must not delay
// the stop without end.
constexpr int drainLimit = 100000;

extern "C" void noteStop(int sig)
{
    if (stopSignal != 0) {  // asked twice: the output may be stuck, so leave at once
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    const int saved = errno;
    stopSignal = sig;
    [[maybe_unused]] const ssize_t ignored = write(wakePipe[1], "", 1);
    errno = saved;
}

[[noreturn]] void endBySignal(int sock, std::span<char> buffer)
{
    const int sig = stopSignal;
    for (int n = 0; n < drainLimit; ++n) {
        const ssize_t got = recvfrom(sock, buffer.data(), buffer.size(), MSG_DONTWAIT, nullptr, nullptr);
        if (got < 0)
            break;
        if (got > 0)
            printDatagram(buffer.data(), static_cast<std::size_t>(got));
    }
    fflush(stdout);
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);  // not reached: the signal is unblocked in this thread
}

// Writes out the lines held so far, then sleeps until a datagram or a stop signal arrives.
void awaitArrival(int sock)
{
    fflush(stdout);
    pollfd ready[] = {{sock, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
    poll(ready, 2, -1);  // an interruption or the pipe: the caller looks at stopSignal
}

}  // namespace

void keepLinesOnStop()
{
    if (pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) < 0)
        fail("pipe");
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
}

void printDatagram(const char *bytes, std::size_t length)
{
    // One call a line, so that lines of the listener and the sender never mix. The line
    // stops at the first zero byte.
    printf("rcvd %.*s\n", static_cast<int>(length), bytes);
}

void printArrivals(int sock, std::span<char> buffer, bool failureEnds)
{
    buffer = buffer.first(std::min<std::size_t>(buffer.size(), RECV_MAX));
    for (;;) {
        if (stopSignal != 0)
            endBySignal(sock, buffer);
        const ssize_t got = recvfrom(sock, buffer.data(), buffer.size(), MSG_DONTWAIT, nullptr, nullptr);
        if (got > 0)
            printDatagram(buffer.data(), static_cast<std::size_t>(got));
        else if (got == 0 || errno == EINTR)
            continue;  // an empty datagram prints nothing
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            awaitArrival(sock);
        else if (failureEnds)
            fail("recvfrom");
        else
            perror("recvfrom");
    }
}

void receiveMode(std::int32_t port, std::span<char> buffer)
{
    const int sock = shownSocket();
    const int bound = bindLocal(sock, port);
    const int reason = errno;
    printf("Receiver:bind is %d, Receiving, port: %d\n", bound, port & 0xFFFF);
    if (bound < 0) {
        errno = reason;
        fail("bind");
    }
    keepLinesOnStop();
    printArrivals(sock, buffer, true);
}
