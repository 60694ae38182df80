// R mode, the datagram line, and the receive loop that the L-mode listener runs too.
#include "transfer.hpp"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>

namespace {

// A stop signal is only noted by its handler; the receive loop writes out what it holds and
// then ends the process by the same signal. The pipe wakes a loop that waits for datagrams.
// In L mode the handler may run on another thread, so the note must be an atomic one.
std::atomic<int> stopSignal = 0;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
int wakePipe[2] = {-1, -1};

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

// Receives per call, and the largest block of equal datagrams the kernel hands over as one.
constexpr std::size_t SLOTS = 32;
constexpr std::size_t SLOT_SIZE = 1 << 16;

// Where a batch of receives lands, each with room for the size of the datagrams of a block.
struct ReceiveArea {
    std::array<char, SLOTS * SLOT_SIZE> bytes{};  // touched now, not while a burst waits
    std::array<iovec, SLOTS> slots{};
    std::array<mmsghdr, SLOTS> messages{};
    std::array<sockaddr_in, SLOTS> senders{};  // counted for the report
    alignas(cmsghdr) std::array<std::array<char, CMSG_SPACE(sizeof(int))>, SLOTS> controls{};

    ReceiveArea()
    {
        for (std::size_t i = 0; i < SLOTS; ++i) {
            slots[i] = {bytes.data() + i * SLOT_SIZE, SLOT_SIZE};
            messages[i].msg_hdr.msg_iov = &slots[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i].data();
            messages[i].msg_hdr.msg_name = &senders[i];
        }
    }
    ReceiveArea(const ReceiveArea &) = delete;  // it points into itself
    ReceiveArea &operator=(const ReceiveArea &) = delete;
};

// Takes what is queued, up to a batch, without waiting: the count, or -1 and errno.
int receiveBatch(int sock, ReceiveArea &area)
{
    for (auto &message : area.messages) {
        message.msg_hdr.msg_controllen = area.controls[0].size();
        message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    return recvmmsg(sock, area.messages.data(), SLOTS, MSG_DONTWAIT, nullptr);
}

// The size of each datagram in what one receive took: a block of equal datagrams from one
// sender (the last one may be shorter), or a single datagram.
std::size_t datagramSize(msghdr message, std::size_t length)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            int size = 0;
            std::memcpy(&size, CMSG_DATA(c), sizeof size);
            return static_cast<std::size_t>(size);
        }
    }
    return length;
}

// Lines received and not yet written. They leave in large writes, each of whole lines (so
// that the other thread's line never lands inside one of them): when no more can be added,
// and when the socket runs dry. The memory is touched once, before the first datagram:
// on some machines a page's first touch costs several times what writing its bytes out
// does, which a burst cannot wait for.
class Lines {
public:
    static constexpr std::size_t SIZE = 512 << 10;

    Lines() : bytes_(std::make_unique<char[]>(SIZE)) {}
    Lines(const Lines &) = delete;
    Lines &operator=(const Lines &) = delete;

    void add(const char *bytes, std::size_t length)
    {
        if (used_ + LINE_MAX_BYTES > SIZE)
            writeAll();
        used_ = static_cast<std::size_t>(line_(bytes_.get() + used_, bytes, length) - bytes_.get());
    }

    void writeAll()
    {
        if (line_ == terminalLine && used_ > 0)
            clearStatus();
        if (fwrite(bytes_.get(), 1, used_, stdout) != used_)
            fail("stdout");
        used_ = 0;
    }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t used_ = 0;
    // A peer's bytes go to a file or a pipe as they came, but never raw to a terminal.
    char *(*const line_)(char *, const char *, std::size_t) = isatty(STDOUT_FILENO) ? terminalLine : datagramLine;
};

// What the one receive loop of the process works in, made before the first datagram can
// come: the memory must not be touched for the first time while a burst waits.
struct Receiver {
    ReceiveArea area;
    Lines lines;
    Received received;
    std::unordered_set<std::uint64_t> senders;  // address and port
};
std::unique_ptr<Receiver> receiver;

// Returns the payload bytes taken.
std::size_t takeBatch(Receiver &r, int count)
{
    std::size_t taken = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
        const std::size_t length = r.area.messages[i].msg_len;
        const std::size_t each = datagramSize(r.area.messages[i].msg_hdr, length);
        const char *bytes = r.area.bytes.data() + i * SLOT_SIZE;
        for (std::size_t at = 0; at < length; at += each) {  // an empty datagram prints nothing
            const std::size_t size = std::min(each, length - at);
            r.lines.add(bytes + at, std::min(size, std::size_t{RECV_MAX}));
            r.received.datagrams += 1;
            r.received.cut += size > RECV_MAX ? 1 : 0;
        }
        const sockaddr_in &from = r.area.senders[i];
        r.senders.insert(std::uint64_t{from.sin_addr.s_addr} << 16 | from.sin_port);
        taken += length;
    }
    r.received.bytes += taken;
    r.received.senders = r.senders.size();
    r.received.last = secondsNow();
    if (r.received.first == 0)
        r.received.first = r.received.last;
    return taken;
}

// Datagrams that the socket dropped so far, its buffer full: the count that SO_RXQ_OVFL
// would attach to each receive, read here only when it is shown.
std::uint64_t droppedBy(int sock)
{
    std::array<std::uint32_t, SK_MEMINFO_VARS> counts{};
    socklen_t size = sizeof counts;
    if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, counts.data(), &size) < 0)
        fail("getsockopt");
    return counts[SK_MEMINFO_DROPS];
}

void showReceiving(int sock, const Receiver &r)
{
    if (!statusDue(Status::Receiving))
        return;
    const double seconds = r.received.last - r.received.first;
    drawStatus("received %" PRIu64 " datagrams, %.0f/s, %" PRIu64 " dropped", r.received.datagrams,
               seconds > 0 ? static_cast<double>(r.received.datagrams) / seconds : 0.0, droppedBy(sock));
}

// Writes out every line held, reports what was received, and ends with status 0, once
// nothing has arrived for as long as the user asked.
[[noreturn]] void endWhenIdle(int sock, Receiver &r)
{
    r.lines.writeAll();
    reportReceiving(r.received, droppedBy(sock));
    exit(0);
}

// Writes out what was received before the signal: what is held, and what is still queued
// in the socket, which is at most what its buffer holds. Then ends by that signal.
[[noreturn]] void endBySignal(int sock, Receiver &r)
{
    const int sig = stopSignal;
    int queuedMost = 0;
    socklen_t size = sizeof queuedMost;
    getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &queuedMost, &size);
    for (std::size_t taken = 0; taken < static_cast<std::size_t>(queuedMost);) {
        const int got = receiveBatch(sock, r.area);
        if (got <= 0)
            break;
        taken += takeBatch(r, got);
    }
    r.lines.writeAll();
    reportReceiving(r.received, droppedBy(sock));
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);  // not reached: the signal is unblocked in this thread
}

// When the sending of L mode ended: an idle end is counted from it at the earliest.
std::atomic<double> sendingDoneAt = 0;

// Seconds left before the idle end that -w asks for; without it, no end.
double idleLeft(const Receiver &r, double start)
{
    if (options.idleSeconds <= 0)
        return INFINITY;
    const double sendingDone = sendingDoneAt;
    if (std::isinf(sendingDone))
        return options.idleSeconds;  // not while sending: look again after this long
    return std::max({start, r.received.last, sendingDone}) + options.idleSeconds - secondsNow();
}

// Sleeps until a datagram or a stop signal arrives, or for `seconds` at the most.
void awaitArrival(int sock, double seconds)
{
    pollfd ready[] = {{sock, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
    const int limit = std::isinf(seconds) ? -1 : static_cast<int>(std::ceil(std::max(seconds, 0.0) * 1000));
    poll(ready, 2, limit);  // an interruption or the pipe: the caller looks at stopSignal
}

// Sleeps for a while, or until a stop signal arrives.
void pauseFor(int milliseconds)
{
    pollfd stop{wakePipe[0], POLLIN, 0};
    poll(&stop, 1, milliseconds);
}

// After a failed receive the listener waits before it tries again, longer while failures
// repeat, so that one that persists neither fills standard error nor takes a whole core.
constexpr int FIRST_PAUSE_MS = 1;
constexpr int LONGEST_PAUSE_MS = 1024;

[[noreturn]] void failKeepingLines(Lines &lines)
{
    const int reason = errno;
    lines.writeAll();
    errno = reason;
    fail("recvfrom");
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
    // Lines wait in the receive loop's own memory and leave in large writes.
    setvbuf(stdout, nullptr, _IONBF, 0);
}

void prepareReceiving(int sock)
{
    receiver = std::make_unique<Receiver>();
    statusLine = Status::Receiving;
    // Room to queue datagrams while lines are written: up to the system's limit for anyone.
    constexpr int wanted = 64 << 20;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    // A block of equal datagrams from one sender is queued and taken as one: fewer, larger
    // receives, and more datagrams in the same buffer. A kernel without it hands them over
    // one by one, which the loop takes alike.
    constexpr int on = 1;
    setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on);
}

// The line stops at the first zero byte.
static std::size_t shownLength(const char *bytes, std::size_t length)
{
    const auto *zero = static_cast<const char *>(std::memchr(bytes, '\0', length));
    return zero == nullptr ? length : static_cast<std::size_t>(zero - bytes);
}

char *datagramLine(char *at, const char *bytes, std::size_t length)
{
    const std::size_t shown = shownLength(bytes, length);
    std::memcpy(at, "rcvd ", 5);
    std::memcpy(at + 5, bytes, shown);
    at[5 + shown] = '\n';
    return at + 5 + shown + 1;
}

char *terminalLine(char *at, const char *bytes, std::size_t length)
{
    const std::size_t shown = shownLength(bytes, length);
    at = std::copy_n("rcvd ", 5, at);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\\') {
            at = std::copy_n("\\\\", 2, at);
        } else if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7f) {
            constexpr const char *hex = "0123456789abcdef";
            at = std::copy_n("\\x", 2, at);
            *at++ = hex[byte >> 4];
            *at++ = hex[byte & 0xf];
        } else {
            *at++ = static_cast<char>(byte);
        }
    }
    *at++ = '\n';
    return at;
}

void sendingStarts() { sendingDoneAt = INFINITY; }
void sendingIsDone() { sendingDoneAt = secondsNow(); }

void receiveForever(int sock, ReceiveFailure onFailure)
{
    Receiver &r = *receiver;
    const double start = secondsNow();
    int pause = 0;
    for (;;) {
        if (stopSignal != 0)
            endBySignal(sock, r);
        const int got = receiveBatch(sock, r.area);
        if (got >= 0) {
            takeBatch(r, got);
            showReceiving(sock, r);
            pause = 0;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            r.lines.writeAll();  // nothing more is queued: show what came
            const double left = idleLeft(r, start);
            if (left <= 0)
                endWhenIdle(sock, r);
            awaitArrival(sock, left);
        } else if (errno == EINTR) {
            continue;
        } else if (onFailure == ReceiveFailure::EndsTheProcess) {
            failKeepingLines(r.lines);
        } else {
            perror("recvfrom");
            pause = std::min(pause == 0 ? FIRST_PAUSE_MS : 2 * pause, LONGEST_PAUSE_MS);
            pauseFor(pause);
        }
    }
}

// The port a socket was bound to: the one asked for, or the system's choice for port 0.
static int boundPort(int sock)
{
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&local), &size) < 0)
        fail("getsockname");
    return ntohs(local.sin_port);
}

void receiveMode(std::int32_t port)
{
    bufferLines();
    const int sock = makeAndShowSocket();
    prepareReceiving(sock);
    const int bound = bindLocal(sock, port);
    const int reason = errno;
    printf("Receiver:bind is %d, Receiving, port: %d\n", bound, bound < 0 ? port & 0xFFFF : boundPort(sock));
    checkOutput();
    if (bound < 0) {
        errno = reason;
        fail("bind");
    }
    keepLinesOnStop();
    receiveForever(sock, ReceiveFailure::EndsTheProcess);
}
