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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int openToSend(const std::string &fileName)
{
    if (fileName == "-")
        return STDIN_FILENO;  // a file of that name is given as ./-
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

// Datagrams handed to the kernel in one call, each one packet, or cut by it from one block
// with -O: one call a datagram would make the tool the slowest part of a fast path. The
// kernels that cut a block into datagrams take at most 64 at once (later ones more).
constexpr std::size_t BATCH = 64;
constexpr std::size_t KERNEL_MAX_SEGMENTS = 64;
static_assert(BATCH <= KERNEL_MAX_SEGMENTS);
// The most one segmented send may carry: the payload of the largest IPv4 datagram.
constexpr std::size_t MAX_UDP_PAYLOAD = LARGEST_DATAGRAM;

// Where a block is refused, by this kernel's word: a route whose MTU is below the chunk
// (EMSGSIZE, or EINVAL once the route learned it), more segments than it takes or a socket
// without checksums (EINVAL), a route that cannot offload (EIO), a file that cannot be sent
// straight from (EINVAL, ENOSYS). The same datagrams then go another way.
bool blockRefused(int error) { return error == EMSGSIZE || error == EINVAL || error == EIO || error == ENOSYS; }

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

// A block straight from the file at `offset`, with no copy through this process: an empty
// corked send names the destination and the cut, and sendfile appends the file's bytes.
ssize_t sendFromFile(int file, off_t &offset, int sock, const Address &destination, std::size_t block,
                     std::size_t chunk)
{
    if (sendSegmented(sock, destination, nullptr, 0, chunk, MSG_MORE) < 0)
        return -1;
    return sendfile(sock, file, &offset, block);
}

// Sends what a send from the file left corked: sendfile asks the kernel to wait for more
// until it has read all it was asked for, which a file that ends first never gives.
void pushCorked(int sock)
{
    constexpr int off = 0;
    setsockopt(sock, SOL_UDP, UDP_CORK, &off, sizeof off);
}

// The datagrams of one block, each its own message to the destination.
struct Batch {
    std::array<iovec, BATCH> parts{};
    std::array<mmsghdr, BATCH> messages{};
};

// Cuts `length` bytes into datagrams of `chunk` bytes, the last one shorter: their count.
std::size_t cutIntoDatagrams(Batch &batch, const Address &destination, char *bytes, std::size_t length,
                             std::size_t chunk)
{
    std::size_t count = 0;
    for (std::size_t at = 0; at < length; at += chunk, ++count) {
        batch.parts[count] = {bytes + at, std::min(chunk, length - at)};
        msghdr &message = batch.messages[count].msg_hdr;
        message.msg_name = const_cast<sockaddr *>(destination.raw());
        message.msg_namelen = destination.length;
        message.msg_iov = &batch.parts[count];
        message.msg_iovlen = 1;
    }
    return count;
}

// A send refused by an answer of the network that was pending on the socket is made again:
// the answer is read, and only a refusal that repeats with no new answer is a failure. Each
// answer leaves its error pending, which refuses the next send, so the sending reads the
// answers when a send is refused: a send the socket takes needs no call to look for them.
bool refusedOnlyByAnAnswer(int sock, Answers &answers, std::uint64_t &answersSeen)
{
    if (!leftByAnAnswer(errno))
        return false;
    const int error = errno;
    readAnswers(sock, answers);
    const std::uint64_t now = answers.total();
    const bool newAnswer = now != answersSeen || answersSeen == UINT64_MAX;
    answersSeen = now;
    errno = error;
    return newAnswer;
}

// Sends the datagrams of a batch, many a call, one packet each; adds each one sent to `count`.
Ending sendBatch(int sock, Batch &batch, std::size_t datagrams, Answers &answers, std::int64_t &count)
{
    std::uint64_t answersSeen = UINT64_MAX;  // none looked at: a first refusal is retried
    for (std::size_t done = 0; done < datagrams;) {
        const int sent = sendmmsg(sock, batch.messages.data() + done, static_cast<unsigned>(datagrams - done), 0);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            count += sent;
            answersSeen = UINT64_MAX;
            if (done < datagrams)  // the next was refused, most often by an answer, whose error the call dropped
                readAnswers(sock, answers);
        } else if (errno != EINTR && !refusedOnlyByAnAnswer(sock, answers, answersSeen)) {
            return failure("sendto");
        }
    }
    return {};
}

std::int64_t datagramsIn(std::size_t bytes, std::size_t chunk) { return static_cast<std::int64_t>((bytes + chunk - 1) / chunk); }

// Reads whole chunks, up to `length` bytes: a pipe returns what it holds, and a datagram
// must still hold a whole chunk. Short only at the end of the file.
ssize_t readChunks(int file, char *to, std::size_t length, std::size_t chunk)
{
    std::size_t got = 0;
    while (got < length && (got == 0 || got % chunk != 0)) {
        const ssize_t more = read(file, to + got, length - got);
        if (more == 0)
            break;
        if (more < 0 && errno != EINTR)
            return -1;
        got += more > 0 ? static_cast<std::size_t>(more) : 0;
    }
    return static_cast<ssize_t>(got);
}

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

// The status line of the sending: how far it is, and for a file of known size how far in
// part and about how long the rest takes at the rate so far.
std::string sendingStatus(std::uint64_t sent, off_t size, double seconds)
{
    const double rate = seconds > 0 ? static_cast<double>(sent) * 8 / seconds : 0;
    char text[160];
    if (size <= 0) {
        snprintf(text, sizeof text, "sending: %" PRIu64 " bytes, %.1f Mbit/s", sent, rate / 1e6);
        return text;
    }
    const auto whole = static_cast<std::uint64_t>(size);
    const int written = snprintf(text, sizeof text, "sending: %" PRIu64 "%% (%" PRIu64 " of %" PRIu64 " bytes), %.1f Mbit/s",
                                 sent * 100 / whole, sent, whole, rate / 1e6);
    if (rate > 0 && sent < whole)
        snprintf(text + written, sizeof text - static_cast<std::size_t>(written), ", about %.0f s left",
                 std::ceil(static_cast<double>(whole - sent) * 8 / rate));
    return text;
}

void showSending(const Sending &how, std::uint64_t sent, off_t size, double start)
{
    if (statusDue(how.reports))
        drawStatus("%s", sendingStatus(sent, size, secondsNow() - start).c_str());
}

SentSoFar sentSoFar(std::int64_t datagrams, std::uint64_t bytes, const Answers &answers, double seconds)
{
    return {datagrams, bytes, answers.total(), seconds};
}

}  // namespace

Ending sendFile(int file, int sock, const Address &destination, const Sending &how, Answers &answers)
{
    // Off the stack, and only the sending thread uses them.
    static std::array<char, std::max(BATCH * MAX_SEND_SIZE, MAX_UDP_PAYLOAD)> buffer;
    static Batch batch;
    const std::size_t chunk = how.chunk;
    // Whole chunks, so that only the end of the file ends a datagram early; a block that the
    // kernel cuts is one datagram's payload at most, and one sent a packet each fits the
    // buffer: fewer than 64 of the large chunks of -l, one at the largest.
    const std::size_t most = how.datagrams == Datagrams::Offloaded ? MAX_UDP_PAYLOAD : buffer.size();
    const std::size_t chunks = std::min(BATCH, most / std::max<std::size_t>(chunk, 1));
    const std::size_t block = chunk == 0 ? 0 : burstOf(chunks * chunk, chunk, how.bitsPerSecond);
    // Offloaded, the kernel checks a cut against the route only for a block it is handed
    // whole. So the first block is read and handed over; once the route has taken it, the
    // rest of a regular file goes straight from the file. Wherever a block is refused (the
    // route's MTU fell, the file cannot be sent from), the same datagrams go the next way
    // down, for the rest of the transfer: read and cut, then one packet each.
    enum class Path { FirstBlock, FromFile, ReadAndCut, OnePacketEach };
    Path path = how.datagrams == Datagrams::Offloaded ? Path::FirstBlock : Path::OnePacketEach;
    const off_t size = regularSize(file);
    const int mtuAtStart = routeMtu(destination);
    off_t offset = 0;  // of the next byte to send, for the sends straight from the file
    const double start = secondsNow();
    std::int64_t nSent = 0;
    std::uint64_t sent = 0;
    std::uint64_t answersSeen = UINT64_MAX;
    Intervals<SentSoFar> intervals(how.reports, start, sentInterval);
    // Once a block, and only with -i: an interval report when one is due.
    const auto reportIfDue = [&] {
        if (!intervals.on())
            return;
        if (const double now = secondsNow(); intervals.due(now))
            intervals.report(sentSoFar(nSent, sent, answers, now - start), now);
    };
    const Ending ending = [&]() -> Ending {
        while (block > 0) {
            if (how.stopAsked != nullptr && *how.stopAsked)
                return {};
            awaitTurn(sent, start, how.bitsPerSecond);
            if (path == Path::FromFile) {
                const ssize_t bytes = sendFromFile(file, offset, sock, destination, block, chunk);
                if (bytes == 0)
                    break;  // an empty corked send is left behind, which nothing ever sends
                if (bytes < 0 && blockRefused(errno)) {  // the next block says why, if not the file
                    if (lseek(file, offset, SEEK_SET) < 0)
                        return failure("lseek");
                    path = Path::ReadAndCut;
                } else if (bytes < 0 && !refusedOnlyByAnAnswer(sock, answers, answersSeen)) {
                    return failure("sendto");
                } else if (bytes > 0) {
                    if (static_cast<std::size_t>(bytes) < block)  // the file's end: the kernel waits for more
                        pushCorked(sock);
                    nSent += datagramsIn(static_cast<std::size_t>(bytes), chunk);
                    sent += static_cast<std::uint64_t>(bytes);
                    answersSeen = UINT64_MAX;
                    showSending(how, sent, size, start);
                    reportIfDue();
                }
                continue;
            }
            const ssize_t got = readChunks(file, buffer.data(), block, chunk);
            if (got == 0)
                break;
            if (got < 0)
                return failure("read");
            const auto length = static_cast<std::size_t>(got);
            offset += static_cast<off_t>(length);
            while (path != Path::OnePacketEach && sendSegmented(sock, destination, buffer.data(), length, chunk, 0) < 0) {
                if (blockRefused(errno)) {
                    reportMove(how.reports, nSent, errno, routeMtu(destination));
                    path = Path::OnePacketEach;
                } else if (!refusedOnlyByAnAnswer(sock, answers, answersSeen)) {
                    return failure("sendto");
                }
            }
            if (path == Path::OnePacketEach) {
                const std::size_t datagrams = cutIntoDatagrams(batch, destination, buffer.data(), length, chunk);
                if (const Ending each = sendBatch(sock, batch, datagrams, answers, nSent); each.failed())
                    return each;
            } else {
                nSent += datagramsIn(length, chunk);
                path = path == Path::FirstBlock && size >= 0 ? Path::FromFile : Path::ReadAndCut;
            }
            answersSeen = UINT64_MAX;
            sent += length;
            showSending(how, sent, size, start);
            reportIfDue();
        }
        clearStatus();
        printf("sending done %" PRId64 "\n", nSent);
        if (const Ending out = flushOutput(); out.failed())
            return out;
        const double seconds = secondsNow() - start;
        intervals.close(sentSoFar(nSent, sent, answers, seconds));
        reportSending(how.reports, nSent, sent, seconds);
        reportRouteMtu(how.reports, mtuAtStart, routeMtu(destination));
        return {};
    }();
    close(file);
    return ending;
}

Ending bindSendingSocket(int sock, const Options &options, Family family, std::int32_t fixedPort)
{
    const std::int32_t port = options.localPort != 0 ? options.localPort : fixedPort;
    const auto local = localAddress(options.source, port, family);
    if (const auto *why = std::get_if<std::string>(&local))
        return failureSaid(*why);
    Ending bound = bindTo(sock, std::get<Address>(local));
    if (bound.failed() && bound.error == EADDRINUSE && options.localPort == 0)
        return failureSaid(std::string("bind: ") + strerror(EADDRINUSE) + " (local port " + std::to_string(port) +
                           "; choose another with -p)");
    return bound;
}

Ending sendMode(const CommandLine &line)
{
    const int file = openToSend(line.fileName);
    if (file < 0)
        return failure("open", 255);
    const auto destination = destinationAddress(line.ipAddress, line.port, line.options.family);
    if (const auto *why = std::get_if<std::string>(&destination))
        return failureSaid(*why);
    const Address &to = std::get<Address>(destination);
    const int sock = makeSocket(to.family());
    if (sock < 0)
        return failure("socket");
    if (const Ending bound = bindSendingSocket(sock, line.options, familyOf(to), SENDER_LOCAL_PORT); bound.failed())
        return bound;
    askForAnswers(sock);
    const Sending how{static_cast<std::size_t>(line.sendSize), line.options.bitsPerSecond, line.options.reports,
                      line.options.datagrams, nullptr};
    Answers answers;
    if (const Ending sent = sendFile(file, sock, to, how, answers); sent.failed())
        return sent;
    if (reporting(line.options.reports))  // the answers to the last datagrams are on their way
        awaitAnswers(sock, answers, LATE_ANSWERS_SECONDS);
    reportAnswers(line.options.reports, answers);
    return {};
}
