// R mode, the datagram line, and the receive loop that the L-mode listener runs too.
#include "transfer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
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
constexpr std::size_t drainLimit = 100000;

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

// Where a batch of datagrams lands: a slot of RECV_MAX bytes each in the caller's buffer.
struct Arrivals {
    std::array<iovec, BATCH> slots{};
    std::array<mmsghdr, BATCH> messages{};

    explicit Arrivals(TransferBuffer buffer)
    {
        for (std::size_t i = 0; i < BATCH; ++i) {
            slots[i] = {buffer.data() + i * RECV_MAX, RECV_MAX};  // a longer datagram is cut
            messages[i].msg_hdr.msg_iov = &slots[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

// Takes what is queued, up to a batch, without waiting: the count, or -1 and errno.
int receiveBatch(int sock, Arrivals &arrivals)
{
    return recvmmsg(sock, arrivals.messages.data(), BATCH, MSG_DONTWAIT, nullptr);
}

void printBatch(const Arrivals &arrivals, int count)
{
    for (int i = 0; i < count; ++i) {
        const std::size_t length = arrivals.messages[i].msg_len;
        if (length > 0)  // an empty datagram prints nothing
            printDatagram(static_cast<const char *>(arrivals.slots[i].iov_base), length);
    }
}

[[noreturn]] void endBySignal(int sock, Arrivals &arrivals)
{
    const int sig = stopSignal;
    for (std::size_t n = 0; n < drainLimit; n += BATCH) {
        const int got = receiveBatch(sock, arrivals);
        if (got <= 0)
            break;
        printBatch(arrivals, got);
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

void bufferLines()
{
    // Static: the buffer must outlive the flush at exit.
    static std::array<char, 1 << 20> lines;
    if (!isatty(STDOUT_FILENO))
        setvbuf(stdout, lines.data(), _IOFBF, lines.size());
}

void widenReceiveBuffer(int sock)
{
    constexpr int wanted = 64 << 20;
    // Past the system's limit where privileged; otherwise up to that limit.
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) < 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
}

void printDatagram(const char *bytes, std::size_t length)
{
    // One call a line, so that lines of the listener and the sender never mix. The line
    // stops at the first zero byte.
    printf("rcvd %.*s\n", static_cast<int>(length), bytes);
}

void printArrivals(int sock, TransferBuffer buffer, bool failureEnds)
{
    Arrivals arrivals(buffer);
    for (;;) {
        if (stopSignal != 0)
            endBySignal(sock, arrivals);
        const int got = receiveBatch(sock, arrivals);
        if (got >= 0)
            printBatch(arrivals, got);
        else if (errno == EINTR)
            continue;
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            awaitArrival(sock);
        else if (failureEnds)
            fail("recvfrom");
        else
            perror("recvfrom");
    }
}

void receiveMode(std::int32_t port, TransferBuffer buffer)
{
    bufferLines();
    const int sock = shownSocket();
    const int bound = bindLocal(sock, port);
    const int reason = errno;
    printf("Receiver:bind is %d, Receiving, port: %d\n", bound, port & 0xFFFF);
    if (bound < 0) {
        errno = reason;
        fail("bind");
    }
    widenReceiveBuffer(sock);
    keepLinesOnStop();
    printArrivals(sock, buffer, true);
}
