// The client of a reflector: sends COUNT numbered 1396-byte datagrams (each its number,
// "%012d ", and the alphabet over and over, as paced_sender's) to 127.0.0.1:PORT at RATE a
// second, in groups of 32, each group when it is due as one block that the kernel cuts into
// datagrams (UDP_SEGMENT). On loopback the sender's CPU also delivers each datagram to the
// reflector's socket, and this is the cheapest way to send here (into a socket never read,
// 1.2 to 1.8 million datagrams a second against 0.3 to 0.4 million with a sendmmsg of each
// group), so that the client keeps its rate where a reflector cannot. It sends from a socket
// of its own with a large receive buffer, and takes what comes back on that socket
// (recvmmsg) while it waits for a group to be due, 16 at a time so as not to make the next
// group late, and after the last group until nothing has come for 0.2 s (10 s at most).
// Usage: echo_client PORT RATE COUNT. Prints one line:
//   sent N returned N altered N repeated N stray N dropped N rate R
// returned: distinct datagrams back from 127.0.0.1:PORT exactly as sent; altered: back
// from there with other bytes or another length; repeated: back again, intact; stray: from
// another address or port; dropped: what the kernel dropped at this socket's full queue
// (/proc/net/udp), which the client's own slowness would show as; rate: the datagrams a
// second that the sends reached, which falls short of RATE where the client cannot keep up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int size = 1396;
constexpr int digits = 12;
constexpr int group = 32;
constexpr int slots = 64;
constexpr int slotsWhileSending = 16;
constexpr int slotSize = 2048;

std::int64_t nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The drops of the socket with this inode, from the last column of /proc/net/udp; -1 when
// it is not found there.
long long dropsOf(ino_t inode)
{
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field;
        std::vector<std::string> all;
        while (fields >> field)
            all.push_back(field);
        if (all.size() >= 13 && all[9] == std::to_string(inode))
            return std::atoll(all.back().c_str());
    }
    return -1;
}

struct Tally {
    std::vector<bool> seen;
    std::int64_t returned = 0, altered = 0, repeated = 0, stray = 0;
};

// Sorts out one datagram that came back.
void take(Tally &tally, const char *data, unsigned length, int flags, const sockaddr_in &from, const sockaddr_in &to,
          const std::array<char, size> &model)
{
    if (from.sin_family != AF_INET || from.sin_port != to.sin_port || from.sin_addr.s_addr != to.sin_addr.s_addr) {
        ++tally.stray;
        return;
    }
    std::int64_t number = 0;
    bool intact = length == size && (flags & MSG_TRUNC) == 0 && data[digits] == ' ' &&
                  std::memcmp(data + digits + 1, model.data() + digits + 1, size - digits - 1) == 0;
    for (int i = 0; intact && i < digits; ++i) {
        if (data[i] < '0' || data[i] > '9')
            intact = false;
        else
            number = number * 10 + (data[i] - '0');
    }
    if (!intact || number >= static_cast<std::int64_t>(tally.seen.size())) {
        ++tally.altered;
        return;
    }
    if (tally.seen[static_cast<std::size_t>(number)]) {
        ++tally.repeated;
        return;
    }
    tally.seen[static_cast<std::size_t>(number)] = true;
    ++tally.returned;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    const double rate = std::atof(argv[2]);
    const std::int64_t count = std::atoll(argv[3]);
    if (rate <= 0 || count <= 0)
        return 2;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&self), sizeof self) < 0)
        return 1;
    // Room for a whole run that the client reads only in the time it has between groups:
    // forced past net.core.rmem_max as root (the kernel doubles it: 2 GB, some 900 000
    // datagrams of 1396 bytes on loopback).
    const int wanted = 1 << 30;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) < 0 &&
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) < 0)
        return 1;
    struct stat status{};
    if (setsockopt(sock, SOL_UDP, UDP_SEGMENT, &size, sizeof size) < 0 || fstat(sock, &status) < 0)
        return 1;

    std::array<char, size> model{};
    for (int j = digits + 1; j < size; ++j)
        model[j] = static_cast<char>('a' + (j - digits - 1) % 26);
    std::vector<char> out(static_cast<std::size_t>(group) * size);
    for (int d = 0; d < group; ++d)
        std::memcpy(out.data() + d * size, model.data(), size);
    std::vector<char> in(static_cast<std::size_t>(slots) * slotSize);
    std::array<sockaddr_in, slots> from{};
    std::array<iovec, slots> inParts{};
    std::array<mmsghdr, slots> inMessages{};
    for (int i = 0; i < slots; ++i) {
        inParts[i] = {in.data() + i * slotSize, slotSize};
        inMessages[i].msg_hdr.msg_iov = &inParts[i];
        inMessages[i].msg_hdr.msg_iovlen = 1;
    }
    Tally tally;
    tally.seen.assign(static_cast<std::size_t>(count), false);
    // Takes up to that many of what has come back, without waiting; returns how many.
    const auto drain = [&](int most) {
        for (int i = 0; i < slots; ++i) {
            inMessages[i].msg_hdr.msg_name = &from[i];
            inMessages[i].msg_hdr.msg_namelen = sizeof from[i];
        }
        const int got = recvmmsg(sock, inMessages.data(), static_cast<unsigned>(most), MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i)
            take(tally, in.data() + i * slotSize, inMessages[i].msg_len, inMessages[i].msg_hdr.msg_flags, from[i], to,
                 model);
        return got < 0 ? 0 : got;
    };

    const std::int64_t start = nanoseconds();
    std::int64_t sent = 0;
    while (sent < count) {
        const auto due = start + static_cast<std::int64_t>(1e9 * static_cast<double>(sent) / rate);
        while (nanoseconds() < due)
            drain(slotsWhileSending);
        const int n = static_cast<int>(count - sent < group ? count - sent : group);
        for (int i = 0; i < n; ++i) {
            char number[24];
            std::snprintf(number, sizeof number, "%012lld ", static_cast<long long>(sent + i));
            std::memcpy(out.data() + i * size, number, digits + 1);
        }
        if (sendto(sock, out.data(), static_cast<std::size_t>(n) * size, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
            return 1;
        sent += n;
    }
    const std::int64_t end = nanoseconds();
    // What is still on its way: until 0.2 s pass with nothing, 10 s after the last send at most.
    for (std::int64_t now = end; now - end < 10000000000LL; now = nanoseconds()) {
        if (drain(slots) > 0)
            continue;
        pollfd waiting{sock, POLLIN, 0};
        if (poll(&waiting, 1, 200) <= 0)
            break;
    }
    const double seconds = static_cast<double>(end - start) / 1e9;
    std::printf("sent %lld returned %lld altered %lld repeated %lld stray %lld dropped %lld rate %.0f\n",
                static_cast<long long>(sent), static_cast<long long>(tally.returned),
                static_cast<long long>(tally.altered), static_cast<long long>(tally.repeated),
                static_cast<long long>(tally.stray), dropsOf(status.st_ino),
                seconds > 0 ? static_cast<double>(sent) / seconds : 0.0);
}
