// S mode, and the send loop that L mode runs as well.
#include "send.hpp"

#include "datagram_line.hpp"
#include "report.hpp"
#include "stop.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/udp.h>
#include <sys/random.h>
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
#include <memory>

namespace {

// Datagrams handed to the kernel in one call, each one packet, or cut by it from one block
// with -O: one call a datagram would make the tool the slowest part of a fast path. The
// kernels that cut a block into datagrams take at most 64 at once (later ones more).
constexpr std::size_t BATCH = 64;
constexpr std::size_t KERNEL_MAX_SEGMENTS = 64;
static_assert(BATCH <= KERNEL_MAX_SEGMENTS);
// The most one segmented send may carry: the payload of the largest IPv4 datagram.
constexpr std::size_t MAX_UDP_PAYLOAD = LARGEST_DATAGRAM;

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

std::int64_t datagramsIn(std::size_t bytes, std::size_t chunk) { return static_cast<std::int64_t>((bytes + chunk - 1) / chunk); }

// A regular file always has its bytes to read; a pipe or a terminal may wait for them.
enum class Input { Regular, MayWait };

// Waits until the file has something to read or a stop is asked: a pipe or a terminal may
// give nothing for as long as it likes. False for a stop.
bool awaitInput(int file)
{
    pollfd ready[] = {{file, POLLIN, 0}, {stopNotice(), POLLIN, 0}};
    while (poll(ready, 2, -1) < 0 && errno == EINTR) {
    }
    return !stopAsked();
}

// Reads whole chunks, up to `length` bytes: a pipe returns what it holds, and a datagram
// must still hold a whole chunk. Short only at the end of the file, or at a stop.
ssize_t readChunks(int file, char *to, std::size_t length, std::size_t chunk, Input input)
{
    std::size_t got = 0;
    while (got < length && (got == 0 || got % chunk != 0)) {
        if (input == Input::MayWait && stopNotice() >= 0 && !awaitInput(file))
            break;
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
    if (sent > whole) {  // a file that grows as it is sent
        snprintf(text, sizeof text, "sending: %" PRIu64 " bytes (the file grew from %" PRIu64 "), %.1f Mbit/s", sent,
                 whole, rate / 1e6);
        return text;
    }
    const int written = snprintf(text, sizeof text, "sending: %" PRIu64 "%% (%" PRIu64 " of %" PRIu64 " bytes), %.1f Mbit/s",
                                 sent * 100 / whole, sent, whole, rate / 1e6);
    if (rate > 0 && sent < whole)
        snprintf(text + written, sizeof text - static_cast<std::size_t>(written), ", about %.0f s left",
                 std::ceil(static_cast<double>(whole - sent) * 8 / rate));
    return text;
}

// Once this host's queue has dropped a datagram, one goes a call: a call of many loses the
// error of the datagram that ends it, and with it whether that one was dropped.
enum class Calls { ManyDatagrams, OneDatagram };

// How the datagrams of a block meet the kernel, from the fastest way down. Offloaded, the
// kernel checks a cut against the route only for a block it is handed whole, so the first
// block is read and handed over; once the route has taken it, the rest of a regular file
// goes straight from the file. Wherever a block is refused (the route's MTU fell, the file
// cannot be sent from), the same datagrams go the next way down, for the rest of the run.
enum class Path { FirstBlock, FromFile, ReadAndCut, OnePacketEach };

// What a refused send means, and so what the sending does next.
enum class Refusal { SendAgain, DroppedByTheQueue, TooBig, Stop, Fails };

// Three refusals in a row that no answer of the network explains are this host's own (a
// prohibiting route, a broadcast address): the run ends on them.
constexpr int UNANSWERED_REFUSALS_MOST = 3;

// Holds a whole block of chunks read, of one packet each, or of one offloaded send.
constexpr std::size_t BUFFER_SIZE = std::max(BATCH * MAX_SEND_SIZE, MAX_UDP_PAYLOAD);

// Whole chunks, so that only the end of the file ends a datagram early; a block that the
// kernel cuts is one datagram's payload at most, and one sent a packet each fits the
// buffer: fewer than 64 of the large chunks of -l, one at the largest.
std::size_t blockOf(const Sending &how)
{
    if (how.chunk == 0)
        return 0;
    const std::size_t most = how.datagrams == Datagrams::Offloaded ? MAX_UDP_PAYLOAD : BUFFER_SIZE;
    return burstOf(std::min(BATCH, most / how.chunk) * how.chunk, how.chunk, how.bitsPerSecond);
}

// The IP and UDP headers in front of each datagram's payload.
std::size_t headersOf(const Address &destination) { return destination.family() == AF_INET6 ? 48 : 28; }

// A descriptor that closes itself.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { close(fd_); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    const int fd_;
};

// A probe run's name, drawn at random as frandle-probe make draws its own.
std::uint32_t randomRun()
{
    std::uint32_t run = 0;
    if (getrandom(&run, sizeof run, 0) != sizeof run)  // never short for 4 bytes
        run = static_cast<std::uint32_t>(realtimeNanoseconds());
    return run;
}

// One run's sending of one file, with all it needs made before the first datagram.
class Sender {
public:
    Sender(int file, int sock, const Address &destination, const Sending &how, Answers &answers)
        : file_(file), sock_(sock), destination_(destination), how_(how), answers_(answers),
          size_(regularSize(file)), block_(blockOf(how)),
          path_(how.datagrams == Datagrams::Offloaded ? Path::FirstBlock : Path::OnePacketEach),
          input_(size_ >= 0 ? Input::Regular : Input::MayWait), mtuAtStart_(routeMtu(destination)),
          answersAtRefusal_(answers.total()), start_(secondsNow()), intervals_(how.reports, start_, sentInterval)
    {
        queueDrops_.atLeast = how.datagrams == Datagrams::Offloaded;
    }
    Ending sendAll();

private:
    Ending readAndSend();
    Ending makeAndSend();
    Ending sendStraightFromFile();
    Ending sendBlock(std::size_t length);
    Ending sendEach(std::size_t length);
    Refusal judge(int error);
    struct NewSinceLastRefusal {
        bool answered;       // by the network
        bool refusedTooBig;  // by this host, with --df
    };
    NewSinceLastRefusal readSinceLastRefusal();
    bool routeRefusesBlocks(int error) const;
    // A probe's count is fixed before the first send: every chunk goes, however long it takes.
    bool timeUp() const { return how_.seconds > 0 && !how_.probe && secondsNow() - start_ >= how_.seconds; }
    // With -t, a regular file that ended goes again from its start.
    bool startsAgain() const { return how_.seconds > 0 && input_ == Input::Regular && !timeUp(); }
    void awaitTurn();
    void reportIfDue(double now);
    void handedOver(std::size_t datagrams);
    void sending(const iovec *datagrams, std::size_t count);
    void sent(std::size_t keys);
    void droppedByTheQueue(std::size_t datagrams);
    void showProgress();
    SentSoFar soFar(double seconds) const
    {
        return {datagrams_, bytes_, answers_.total(), queueDrops_, seconds, answers_.refusedTooBig()};
    }

    const Descriptor file_;
    const int sock_;
    const Address &destination_;
    const Sending &how_;
    Answers &answers_;
    const off_t size_;  // at the start, of a regular file; -1 for a pipe or a terminal
    const std::size_t block_;
    Path path_;
    const Input input_;
    const int mtuAtStart_;
    Calls calls_ = Calls::ManyDatagrams;
    std::uint64_t keys_ = 0;  // the kernel's number for the next send it stamps
    const std::uint32_t run_ = randomRun();  // --probe
    std::uint64_t nextChunk_ = 0;
    const std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(BUFFER_SIZE);
    const std::unique_ptr<Batch> batch_ = std::make_unique<Batch>();
    off_t offset_ = 0;  // of the next byte of the file to send
    bool ended_ = false;  // the file, or a stop
    std::int64_t datagrams_ = 0;
    std::uint64_t bytes_ = 0;
    QueueDrops queueDrops_;
    std::uint64_t answersAtRefusal_;
    std::uint64_t tooBigAtRefusal_ = 0;
    int unanswered_ = 0;  // refusals in a row that no answer explains
    const double start_;
    Intervals<SentSoFar> intervals_;
};

Ending Sender::sendAll()
{
    while (block_ > 0 && !ended_ && !stopAsked() && !timeUp()) {
        const Ending step = how_.probe ? makeAndSend() : path_ == Path::FromFile ? sendStraightFromFile() : readAndSend();
        if (step.failed())
            return step;
        showProgress();
    }
    how_.reports.status->clear();
    if (stopAsked())
        return {};  // L mode, stopped: the listener reports
    printf("sending done %" PRId64 "\n", datagrams_);
    if (const Ending out = flushOutput(); out.failed())
        return out;
    const double seconds = secondsNow() - start_;
    intervals_.close(soFar(seconds));
    reportSending(how_.reports, soFar(seconds), answers_.pathMtu());
    reportRouteMtu(how_.reports, mtuAtStart_, routeMtu(destination_));
    if (how_.probe && how_.seconds > 0)
        reportProbeTime(how_.reports, how_.seconds, seconds);
    return {};
}

// --probe: the next chunks, made when their turn has come, each with the time it is made.
// The chunks of one block are of one size, as the kernel cuts a block: a shorter one (the
// last two may be) goes alone.
Ending Sender::makeAndSend()
{
    const probe::Layout &layout = *how_.probe;
    if (nextChunk_ >= layout.count) {
        ended_ = true;
        return {};
    }
    awaitTurn();
    if (stopAsked())
        return {};
    std::size_t length = 0;
    do {
        const std::size_t size = layout.lengthOf(nextChunk_);
        probe::writeTimedChunk(buffer_.get() + length, run_, nextChunk_, layout, realtimeNanoseconds());
        length += size;
        ++nextChunk_;
    } while (nextChunk_ < layout.count && length % how_.chunk == 0 && layout.lengthOf(nextChunk_) == how_.chunk &&
             length + how_.chunk <= block_);
    bytes_ += length;
    return path_ == Path::OnePacketEach ? sendEach(length) : sendBlock(length);
}

// The next block, read, then sent when its turn comes: the last one is not waited after.
Ending Sender::readAndSend()
{
    ssize_t got = readChunks(file_.get(), buffer_.get(), block_, how_.chunk, input_);
    if (got == 0 && startsAgain()) {
        offset_ = 0;
        if (lseek(file_.get(), 0, SEEK_SET) < 0)
            return failure("lseek");
        got = readChunks(file_.get(), buffer_.get(), block_, how_.chunk, input_);
    }
    if (got < 0)
        return failure("read");
    ended_ = got == 0;
    if (ended_)
        return {};
    awaitTurn();
    if (stopAsked())
        return {};
    const auto length = static_cast<std::size_t>(got);
    offset_ += got;
    bytes_ += length;
    return path_ == Path::OnePacketEach ? sendEach(length) : sendBlock(length);
}

// Offloaded, a block straight from the file at the offset, with no copy through this process.
Ending Sender::sendStraightFromFile()
{
    // No wait for a turn after the last block. A file of the kernel's shows no size, and
    // ends where sendfile refuses it.
    if (size_ > 0 && offset_ >= size_ && regularSize(file_.get()) <= offset_) {
        if (!startsAgain()) {
            ended_ = true;
            return {};
        }
        offset_ = 0;
    }
    awaitTurn();
    for (;;) {
        if (stopAsked())
            return {};
        const off_t from = offset_;
        const ssize_t bytes = sendFromFile(file_.get(), offset_, sock_, destination_, block_, how_.chunk);
        const bool short_ = bytes > 0 && static_cast<std::size_t>(bytes) < block_;
        if (short_ && regularSize(file_.get()) <= offset_) {  // the file's end: the kernel waits for more
            pushCorked(sock_);
        } else if (short_) {
            // The kernel took the block in two parts and refused it as a whole at the end,
            // for a reason the call does not tell: the same block goes again from a read,
            // whose refusal says why.
            offset_ = from;
            path_ = Path::ReadAndCut;
            return lseek(file_.get(), offset_, SEEK_SET) < 0 ? failure("lseek") : Ending{};
        }
        if (bytes >= 0) {
            ended_ = bytes == 0;  // an empty corked send is left behind, which nothing ever sends
            handedOver(datagramsIn(static_cast<std::size_t>(bytes), how_.chunk));
            bytes_ += static_cast<std::uint64_t>(bytes);
            return {};
        }
        const int error = errno;
        if (error == ENOSYS || routeRefusesBlocks(error)) {  // the next block says why, if not the file
            path_ = Path::ReadAndCut;
            return lseek(file_.get(), offset_, SEEK_SET) < 0 ? failure("lseek") : Ending{};
        }
        switch (judge(error)) {
        case Refusal::SendAgain:
            continue;
        case Refusal::DroppedByTheQueue: {  // the kernel read the whole block, and the queue dropped it
            const auto length = static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(block_), size_ - from));
            offset_ = from + static_cast<off_t>(length);
            handedOver(datagramsIn(length, how_.chunk));
            droppedByTheQueue(datagramsIn(length, how_.chunk));
            bytes_ += length;
            return {};
        }
        case Refusal::TooBig:  // with --df: the same block again from a read, which is cut smaller
            path_ = Path::ReadAndCut;
            return lseek(file_.get(), offset_, SEEK_SET) < 0 ? failure("lseek") : Ending{};
        case Refusal::Stop:
            return {};
        case Refusal::Fails:
            return failure("sendto", error, 1);
        }
    }
}

// Offloaded, a block read into the buffer, which the kernel cuts.
Ending Sender::sendBlock(std::size_t length)
{
    if (how_.roundTrips != nullptr)
        sending(batch_->parts.data(), cutIntoDatagrams(*batch_, destination_, buffer_.get(), length, how_.chunk));
    for (;;) {
        const std::size_t datagrams = datagramsIn(length, how_.chunk);
        if (sendSegmented(sock_, destination_, buffer_.get(), length, how_.chunk, 0) >= 0) {
            sent(1);
            handedOver(datagrams);
            // Round trips need each datagram's bytes, which a send from the file never shows.
            if (path_ == Path::FirstBlock)
                path_ = size_ >= 0 && how_.roundTrips == nullptr ? Path::FromFile : Path::ReadAndCut;
            return {};
        }
        const int error = errno;
        if (routeRefusesBlocks(error)) {
            const int mtu = routeMtu(destination_);
            reportMove(how_.reports, datagrams_, error, mtu != mtuAtStart_ ? mtu : -1);
            path_ = Path::OnePacketEach;
            if (how_.roundTrips != nullptr) {  // whether the refused block took a number depends on why
                keys_ = how_.roundTrips->restartKeys();
                restartSendTimeIds(sock_);
            }
            return sendEach(length);
        }
        switch (judge(error)) {
        case Refusal::SendAgain:
            continue;
        case Refusal::DroppedByTheQueue:
            sent(1);
            handedOver(datagrams);
            droppedByTheQueue(datagrams);
            return {};
        case Refusal::TooBig:  // with --df: each datagram of the block is refused, and counted
            path_ = Path::OnePacketEach;
            return sendEach(length);
        case Refusal::Stop:
            return {};
        case Refusal::Fails:
            return failure("sendto", error, 1);
        }
    }
}

// One packet a datagram, many a call until the queue first drops one.
Ending Sender::sendEach(std::size_t length)
{
    const std::size_t count = cutIntoDatagrams(*batch_, destination_, buffer_.get(), length, how_.chunk);
    for (std::size_t done = 0; done < count;) {
        const std::size_t asked = calls_ == Calls::OneDatagram ? 1 : count - done;
        sending(batch_->parts.data() + done, asked);
        const int taken = sendmmsg(sock_, batch_->messages.data() + done, static_cast<unsigned>(asked), 0);
        if (taken > 0) {
            done += static_cast<std::size_t>(taken);
            sent(static_cast<std::size_t>(taken));
            handedOver(static_cast<std::size_t>(taken));
            // The call lost the error of the datagram it stopped at. An answer pending on the
            // socket refused it, and it goes again; with no answer read, the queue dropped it.
            if (static_cast<std::size_t>(taken) < asked && !readSinceLastRefusal().answered) {
                ++done;
                sent(1);
                handedOver(1);
                droppedByTheQueue(1);
            }
            continue;
        }
        const int error = errno;
        switch (judge(error)) {
        case Refusal::SendAgain:
            continue;
        case Refusal::DroppedByTheQueue:  // the kernel numbered it before its queue dropped it
            ++done;
            sent(1);
            handedOver(1);
            droppedByTheQueue(1);
            continue;
        case Refusal::TooBig:  // not handed over: neither its datagram nor its bytes count as sent
            bytes_ -= batch_->parts[done++].iov_len;
            continue;
        case Refusal::Stop:
            return {};
        case Refusal::Fails:
            return failure("sendto", error, 1);
        }
    }
    return {};
}

// An answer of the network leaves its error pending on the socket, which refuses the next
// send: made again, and the answers are read then, so a send the socket takes needs no
// call to look for them. A datagram this host's queue dropped is lost, as it was when the
// kernel dropped it silently: counted, and never sent again.
Refusal Sender::judge(int error)
{
    if (stopAsked())  // L mode, stopped: the socket was shut for sending
        return Refusal::Stop;
    if (error == EINTR)
        return Refusal::SendAgain;
    if (error == ENOBUFS)
        return Refusal::DroppedByTheQueue;
    if (!leftByAnAnswer(error))  // EMSGSIZE among them
        return Refusal::Fails;
    const NewSinceLastRefusal read = readSinceLastRefusal();
    if (error == EMSGSIZE && read.refusedTooBig)  // with --df: skipped, and counted
        return Refusal::TooBig;
    if (read.answered) {
        unanswered_ = 0;
        return Refusal::SendAgain;
    }
    return ++unanswered_ < UNANSWERED_REFUSALS_MOST ? Refusal::SendAgain : Refusal::Fails;
}

// Reads the answers queued: whether any came (read by either thread of L mode) since the
// last refusal, and whether this host refused a datagram as larger than the path MTU. The
// kernel queues an answer before it leaves the answer's error pending, so a read in
// between counts an answer whose refusal comes later, unexplained.
Sender::NewSinceLastRefusal Sender::readSinceLastRefusal()
{
    readAnswers(sock_, answers_, how_.roundTrips);
    const std::uint64_t answers = answers_.total(), tooBig = answers_.refusedTooBig();
    const NewSinceLastRefusal read{answers != answersAtRefusal_, tooBig != tooBigAtRefusal_};
    answersAtRefusal_ = answers;
    tooBigAtRefusal_ = tooBig;
    return read;
}

// The route refuses the kernel's cut: it cannot offload (EIO), or its MTU is below the
// chunk (EINVAL; or EMSGSIZE, which an answer of the network leaves pending too: only the
// route's MTU as the kernel knows it tells the two apart).
bool Sender::routeRefusesBlocks(int error) const
{
    if (error == EINVAL || error == EIO)
        return true;
    if (error != EMSGSIZE)
        return false;
    const int mtu = routeMtu(destination_);
    return mtu < 0 || how_.chunk + headersOf(destination_) > static_cast<std::size_t>(mtu);
}

void Sender::handedOver(std::size_t datagrams)
{
    datagrams_ += static_cast<std::int64_t>(datagrams);
    unanswered_ = 0;
}

// L: the datagrams about to be handed over, by their bytes, under the numbers the kernel
// will stamp them with: one each, or one for a block it cuts. Before the call, since what
// comes back may be read before the call returns.
void Sender::sending(const iovec *datagrams, std::size_t count)
{
    if (how_.roundTrips == nullptr)
        return;
    const Stamps stamps = path_ == Path::OnePacketEach ? Stamps::EachDatagram : Stamps::EachBlock;
    how_.roundTrips->sending(datagrams, count, static_cast<std::uint64_t>(datagrams_), keys_, stamps,
                             realtimeNanoseconds());
}

// The kernel took (or its queue dropped) so many numbered sends: the time after the call
// stands for theirs until the kernel's stamps come.
void Sender::sent(std::size_t keys)
{
    if (how_.roundTrips != nullptr)
        how_.roundTrips->sent(keys_, keys, realtimeNanoseconds());
    keys_ += keys;
}

void Sender::droppedByTheQueue(std::size_t datagrams)
{
    queueDrops_.datagrams += datagrams;
    calls_ = Calls::OneDatagram;
}

// Paced, waits until the bytes sent so far are due at the rate, counted from the start: the
// average holds over the whole transfer, whatever a single wait overshoots. A stop ends the
// wait, and an interval report due meanwhile comes on time.
void Sender::awaitTurn()
{
    if (how_.bitsPerSecond <= 0)
        return;
    const double due = start_ + static_cast<double>(bytes_) * 8 / how_.bitsPerSecond;
    pollfd stop{stopNotice(), POLLIN, 0};
    for (double now = secondsNow(); now < due && !stopAsked(); now = secondsNow()) {
        reportIfDue(now);
        const timespec wait = durationOf(std::min(due - now, intervals_.secondsLeft(now)));
        ppoll(&stop, stop.fd >= 0 ? 1 : 0, &wait, nullptr);
    }
}

// With -i, an interval report when one is due.
void Sender::reportIfDue(double now)
{
    if (intervals_.due(now))
        intervals_.report(soFar(now - start_), now);
}

// The status line, and with -i an interval report when one is due: once a block.
void Sender::showProgress()
{
    if (how_.reports.status->due(how_.reports))
        how_.reports.status->draw("%s", sendingStatus(bytes_, size_, secondsNow() - start_).c_str());
    if (intervals_.on())
        reportIfDue(secondsNow());
}

}  // namespace

Ending probeLayoutFor(const Options &options, std::int32_t sendSize, std::optional<probe::Layout> &layout)
{
    if (options.payload != Payload::Probe)
        return {};
    const double bytes = options.probeBytes > 0 ? static_cast<double>(options.probeBytes)
                                                : std::floor(options.bitsPerSecond * options.sendSeconds / 8);
    const auto chunk = static_cast<std::size_t>(sendSize);
    if (chunk < probe::TIMED_HEADER)
        return failureSaid("frandle: a probe's chunks hold a header of " + std::to_string(probe::TIMED_HEADER) +
                               " bytes: a send size of " + std::to_string(sendSize) + " is too small", 255);
    layout = bytes >= static_cast<double>(probe::TIMED_HEADER) && bytes < 1e18
                 ? probe::layoutOf(static_cast<std::uint64_t>(bytes), chunk, probe::TIMED_HEADER)
                 : std::nullopt;
    if (!layout || layout->count > probe::LARGEST_COUNT)
        return failureSaid("frandle: a probe of " + std::to_string(static_cast<std::uint64_t>(bytes)) +
                               " bytes cannot be cut into chunks of " + std::to_string(sendSize) + " bytes", 255);
    return {};
}

Ending sendFile(int file, int sock, const Address &destination, const Sending &how, Answers &answers)
{
    Sender sender(file, sock, destination, how, answers);
    return sender.sendAll();
}

Ending sendMode(const CommandLine &command)
{
    const Options &options = command.options;
    int file = -1;
    Address to;
    if (const Ending opened = openToSendTo(command.fileName, command.ipAddress, command.port, options.family, file, to);
        opened.failed())
        return opened;
    std::optional<probe::Layout> probe;
    if (const Ending cut = probeLayoutFor(options, command.sendSize, probe); cut.failed())
        return cut;
    const int sock = makeSocket(to.family());
    if (sock < 0)
        return failure("socket");
    if (const Ending bound = bindSendingSocket(sock, options.source, options.localPort, familyOf(to), SENDER_LOCAL_PORT);
        bound.failed())
        return bound;
    if (const Ending set = applyPathControls(sock, to, options.path); set.failed())
        return set;
    askForAnswers(sock);
    refuseArrivals(sock);  // what peers send to this port would take the room the answers need
    StatusLine status;
    Reporting reports = options.reports;
    reports.status = &status;
    const Sending how{static_cast<std::size_t>(command.sendSize), options.bitsPerSecond, reports, options.datagrams,
                      nullptr, options.sendSeconds, probe};
    Answers answers;
    if (const Ending sent = sendFile(file, sock, to, how, answers); sent.failed())
        return sent;
    if (reporting(reports))  // the answers to the last datagrams are on their way
        awaitAnswers(sock, answers, options.idleSeconds > 0 ? options.idleSeconds : LATE_ANSWERS_SECONDS);
    reportAnswers(reports, answers, droppedBy(sock));
    return {};
}
