// S mode, and the send loop that L mode runs as well.
#include "send.hpp"

#include "line.hpp"
#include "report.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int openToSend(const std::string &fileName)
{
    const int file = open(fileName.c_str(), O_RDONLY);
    if (file < 0) {
        const int reason = errno;  // the first output can change errno (a terminal check)
        printf("Can't read %s in brasket\n", fileName.c_str());
        fflush(stdout);  // first, where both streams go to one place
        errno = reason;
    }
    return file;
}

namespace {

// Datagrams handed to the kernel in one send: one call a datagram would make the tool the
// slowest part of a fast path. The kernels that cut a send into datagrams take at most 64
// at once (later ones more), and a block beyond that would be refused every time.
constexpr std::size_t BATCH = 64;
constexpr std::size_t KERNEL_MAX_SEGMENTS = 64;
static_assert(BATCH <= KERNEL_MAX_SEGMENTS);
// The most one segmented send may carry: the payload of the largest IPv4 datagram.
constexpr std::size_t MAX_UDP_PAYLOAD = 65507;

// Where a batched send is refused, by this kernel's word: a route whose MTU is below the
// chunk (EMSGSIZE), more segments than it takes or a socket without checksums (EINVAL), a
// route that cannot offload (EIO). The same datagrams then go one a call, which reports
// any real failure itself.
bool segmentationRefused(int error) { return error == EMSGSIZE || error == EINVAL || error == EIO; }

// Sends `length` bytes to `destination`, asking the kernel to cut them, and whatever
// sendfile appends under MSG_MORE, into datagrams of `chunk` bytes, the last one shorter.
ssize_t sendSegmented(int sock, const Address &destination, const char *bytes, std::size_t length,
                      std::size_t chunk, int flags)
{
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(std::uint16_t))> control{};
    iovec data{const_cast<char *>(bytes), length};
    msghdr message{};
    message.msg_name = const_cast<sockaddr *>(destination.raw());
    message.msg_namelen = destination.length;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr *segment = CMSG_FIRSTHDR(&message);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto size = static_cast<std::uint16_t>(chunk);
    std::memcpy(CMSG_DATA(segment), &size, sizeof size);
    return sendmsg(sock, &message, flags);
}

// A block straight from the file, with no copy through this process: an empty corked send
// names the destination and the cut, and sendfile appends the file's next bytes to it.
ssize_t sendFromFile(int file, int sock, const Address &destination, std::size_t block, std::size_t chunk)
{
    if (sendSegmented(sock, destination, nullptr, 0, chunk, MSG_MORE) < 0)
        return -1;
    return sendfile(sock, file, nullptr, block);
}

// One datagram a call; adds each one sent to `count`.
Ending sendEach(int sock, const Address &destination, const char *bytes, std::size_t length, std::size_t chunk,
                std::int64_t &count)
{
    for (std::size_t at = 0; at < length; at += chunk) {
        if (sendto(sock, bytes + at, std::min(chunk, length - at), 0, destination.raw(), destination.length) < 0)
            return failure("sendto");
        ++count;
    }
    return {};
}

std::int64_t datagramsIn(std::size_t bytes, std::size_t chunk) { return static_cast<std::int64_t>((bytes + chunk - 1) / chunk); }

// The size of a regular file, or -1 for anything else (a pipe, a terminal).
off_t regularSize(int file)
{
    struct stat about {};
    return fstat(file, &about) == 0 && S_ISREG(about.st_mode) ? about.st_size : -1;
}

// Paced, a burst is at most about a millisecond's worth of the rate, and one datagram at
// the least.
std::size_t burstOf(std::size_t block, std::size_t chunk, double bitsPerSecond)
{
    if (bitsPerSecond <= 0)
        return block;
    const auto perMillisecond = static_cast<std::size_t>(bitsPerSecond / 8 / 1000);
    return std::min(block, std::max<std::size_t>(1, perMillisecond / chunk) * chunk);
}

// Paced, waits until the bytes sent so far are due at the rate, counted from `start`: the
// average holds over the whole transfer, whatever a single wait overshoots.
void awaitTurn(std::uint64_t sent, double start, double bitsPerSecond)
{
    if (bitsPerSecond <= 0)
        return;
    const double due = start + static_cast<double>(sent) * 8 / bitsPerSecond;
    timespec at{};
    at.tv_sec = static_cast<time_t>(due);
    at.tv_nsec = static_cast<long>((due - static_cast<double>(at.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

void showSending(const Sending &how, std::uint64_t sent, off_t size, double start)
{
    if (how.status == SendingStatus::Hidden || !statusDue(how.reports))
        return;
    const double seconds = secondsNow() - start;
    const double rate = seconds > 0 ? static_cast<double>(sent) * 8 / seconds / 1e6 : 0;
    if (size >= 0)
        drawStatus("sending: %" PRIu64 " of %lld bytes, %.1f Mbit/s", sent, static_cast<long long>(size), rate);
    else
        drawStatus("sending: %" PRIu64 " bytes, %.1f Mbit/s", sent, rate);
}

}  // namespace

Ending sendFile(int file, int sock, const Address &destination, const Sending &how)
{
    // Read here only from pipes, for the first block, and where the kernel will not cut
    // blocks: off the stack, and only the sending thread uses it.
    static std::array<char, MAX_UDP_PAYLOAD> buffer;
    const std::size_t chunk = how.chunk;
    // Whole chunks, so that only the end of the file or a short read ends a datagram early.
    const std::size_t block =
        chunk == 0 ? 0 : burstOf(std::min(BATCH, MAX_UDP_PAYLOAD / chunk) * chunk, chunk, how.bitsPerSecond);
    // The kernel checks a cut against the route only for a block it is handed whole, and
    // drops unsent what it cannot carry when the block comes from a file. So the first
    // block is read and handed over; once the route has taken it, the rest of a regular
    // file goes straight from the file. The route stays the same for the whole transfer.
    enum class Path { Checked, Straight, OneByOne } path = Path::Checked;
    const off_t size = regularSize(file);
    const double start = secondsNow();
    std::int64_t nSent = 0;
    std::uint64_t sent = 0;
    const Ending ending = [&]() -> Ending {
        while (block > 0) {
            if (how.stopAsked != nullptr && *how.stopAsked)
                return {};
            awaitTurn(sent, start, how.bitsPerSecond);
            if (path == Path::Straight) {
                const ssize_t bytes = sendFromFile(file, sock, destination, block, chunk);
                if (bytes == 0)
                    break;  // an empty corked send is left behind, which nothing ever sends
                if (bytes < 0)
                    return failure("sendto");
                nSent += datagramsIn(static_cast<std::size_t>(bytes), chunk);
                sent += static_cast<std::uint64_t>(bytes);
                showSending(how, sent, size, start);
                continue;
            }
            const ssize_t got = read(file, buffer.data(), block);
            if (got == 0)
                break;
            if (got < 0)
                return failure("read");
            const auto length = static_cast<std::size_t>(got);
            sent += length;
            if (path == Path::Checked && sendSegmented(sock, destination, buffer.data(), length, chunk, 0) >= 0) {
                nSent += datagramsIn(length, chunk);
                path = size >= 0 ? Path::Straight : Path::Checked;
            } else if (path == Path::Checked && !segmentationRefused(errno)) {
                return failure("sendto");
            } else {
                path = Path::OneByOne;
                if (const Ending each = sendEach(sock, destination, buffer.data(), length, chunk, nSent); each.failed())
                    return each;
            }
            showSending(how, sent, size, start);
        }
        clearStatus();
        printf("sending done %" PRId64 "\n", nSent);
        if (const Ending out = flushOutput(); out.failed())
            return out;
        reportSending(how.reports, nSent, sent, secondsNow() - start);
        return {};
    }();
    close(file);
    return ending;
}

Ending sendMode(const CommandLine &line)
{
    const int file = openToSend(line.fileName);
    if (file < 0)
        return failure("open", 255);
    const int sock = makeSocket();
    if (sock < 0)
        return failure("socket");
    if (const Ending bound = bindTo(sock, anyLocalAddress(SENDER_LOCAL_PORT)); bound.failed())
        return bound;
    const Sending how{static_cast<std::size_t>(line.sendSize), line.options.bitsPerSecond, line.options.reports,
                      SendingStatus::Shown, nullptr};
    return sendFile(file, sock, ipv4Address(line.ipAddress, line.port), how);
}
