// R mode, the datagram line, and the receive loop that the L-mode listener runs too.
#include "transfer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

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
    alignas(cmsghdr) std::array<std::array<char, CMSG_SPACE(sizeof(int))>, SLOTS> controls{};

    ReceiveArea()
    {
        for (std::size_t i = 0; i < SLOTS; ++i) {
            slots[i] = {bytes.data() + i * SLOT_SIZE, SLOT_SIZE};
            messages[i].msg_hdr.msg_iov = &slots[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i].data();
        }
    }
    ReceiveArea(const ReceiveArea &) = delete;  // it points into itself
    ReceiveArea &operator=(const ReceiveArea &) = delete;
};

// Takes what is queued, up to a batch, without waiting: the count, or -1 and errno.
int receiveBatch(int sock, ReceiveArea &area)
{
    for (auto &message : area.messages)
        message.msg_hdr.msg_controllen = area.controls[0].size();
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

// Returns the payload bytes taken.
std::size_t holdBatch(const ReceiveArea &area, int count, Lines &lines)
{
    std::size_t taken = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
        const std::size_t length = area.messages[i].msg_len;
        const std::size_t each = datagramSize(area.messages[i].msg_hdr, length);
        const char *bytes = area.bytes.data() + i * SLOT_SIZE;
        for (std::size_t at = 0; at < length; at += each)  // an empty datagram prints nothing
            lines.add(bytes + at, std::min({each, length - at, std::size_t{RECV_MAX}}));
        taken += length;
    }
    return taken;
}

// Writes out what was received before the signal: what is held, and what is still queued
// in the socket, which is at most what its buffer holds. Then ends by that signal.
[[noreturn]] void endBySignal(int sock, ReceiveArea &area, Lines &lines)
{
    const int sig = stopSignal;
    int queuedMost = 0;
    socklen_t size = sizeof queuedMost;
    getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &queuedMost, &size);
    for (std::size_t taken = 0; taken < static_cast<std::size_t>(queuedMost);) {
        const int got = receiveBatch(sock, area);
        if (got <= 0)
            break;
        taken += holdBatch(area, got, lines);
    }
    lines.writeAll();
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);  // not reached: the signal is unblocked in this thread
}

// Sleeps until a datagram or a stop signal arrives.
void awaitArrival(int sock)
{
    pollfd ready[] = {{sock, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
    poll(ready, 2, -1);  // an interruption or the pipe: the caller looks at stopSignal
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

// What the one receive loop of the process works in, made before the first datagram can
// come: the memory must not be touched for the first time while a burst waits.
struct Receiver {
    ReceiveArea area;
    Lines lines;
};
std::unique_ptr<Receiver> receiver;

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

void receiveForever(int sock, ReceiveFailure onFailure)
{
    auto &[area, lines] = *receiver;
    int pause = 0;
    for (;;) {
        if (stopSignal != 0)
            endBySignal(sock, area, lines);
        const int got = receiveBatch(sock, area);
        if (got >= 0) {
            holdBatch(area, got, lines);
            pause = 0;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            lines.writeAll();  // nothing more is queued: show what came
            awaitArrival(sock);
        } else if (errno == EINTR) {
            continue;
        } else if (onFailure == ReceiveFailure::EndsTheProcess) {
            failKeepingLines(lines);
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
