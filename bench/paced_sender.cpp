// A steady stream of 1396-byte datagrams sent to 127.0.0.1 at a set rate in groups of 46,
// each group when it is due: by default one packet a datagram, the group in one sendmmsg
// (as S mode sends); with -O one block that the kernel cuts (as S -O sends). Each datagram
// is by default its number ("%012d ") and the alphabet over and over, as the lines of
// bench/run.sh's files are; with -f FILE, the successive 1396-byte pieces of FILE, from its
// start and round again at its end (its size must be a whole number of pieces), read into
// memory before the stream starts and sent from there.
// Usage: paced_sender [-O] [-f FILE] PORT RATE SECONDS; prints the datagrams sent and the
// rate they went at, which falls short of the one asked for where the sender cannot keep up.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int size = 1396;
constexpr int group = 46;

std::int64_t nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The whole of a file, or nothing (an empty vector) where it cannot be read or its size is
// not a whole, non-zero number of pieces.
std::vector<char> wholeFile(const char *path)
{
    const int fd = open(path, O_RDONLY);
    struct stat about{};
    if (fd < 0 || fstat(fd, &about) < 0 || about.st_size <= 0 || about.st_size % size != 0) {
        if (fd >= 0)
            close(fd);
        return {};
    }
    std::vector<char> bytes(static_cast<std::size_t>(about.st_size));
    for (std::size_t held = 0; held < bytes.size();) {
        const ssize_t got = read(fd, bytes.data() + held, bytes.size() - held);
        if (got <= 0) {
            close(fd);
            return {};
        }
        held += static_cast<std::size_t>(got);
    }
    close(fd);
    return bytes;
}

}  // namespace

int main(int argc, char *argv[])
{
    bool blocks = false;
    const char *path = nullptr;
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; ++at) {
        if (std::strcmp(argv[at], "-O") == 0) {
            blocks = true;
        } else if (std::strcmp(argv[at], "-f") == 0 && at + 1 < argc) {
            path = argv[++at];
        } else {
            std::fprintf(stderr, "paced_sender: unknown option %s\n", argv[at]);
            return 2;
        }
    }
    if (argc - at != 3) {
        std::fprintf(stderr, "usage: paced_sender [-O] [-f FILE] PORT RATE SECONDS\n");
        return 2;
    }
    char **arg = argv + at;
    std::vector<char> file;
    if (path != nullptr) {
        file = wholeFile(path);
        if (file.empty()) {
            std::fprintf(stderr, "paced_sender: %s: unreadable, empty or not a whole number of %d-byte pieces\n", path, size);
            return 2;
        }
    }
    const auto pieces = static_cast<std::int64_t>(file.size() / size);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0 || (blocks && setsockopt(sock, SOL_UDP, UDP_SEGMENT, &size, sizeof size) < 0))
        return 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(arg[0])));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const double rate = std::atof(arg[1]);
    const auto groups = static_cast<std::int64_t>(rate * std::atof(arg[2]) / group);

    static std::array<char, group * size> block;
    for (int d = 0; d < group; ++d)
        for (int j = 13; j < size; ++j)
            block[d * size + j] = static_cast<char>('a' + (j - 13) % 26);
    std::array<iovec, group> parts{};
    std::array<mmsghdr, group> messages{};
    for (int i = 0; i < group; ++i) {
        parts[i] = {block.data() + i * size, size};
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    // With a file, a block is the group's pieces, wherever they lie in it.
    msghdr whole{};
    whole.msg_name = &to;
    whole.msg_namelen = sizeof to;
    whole.msg_iov = parts.data();
    whole.msg_iovlen = group;
    const std::int64_t start = nanoseconds();
    std::int64_t sent = 0;
    for (std::int64_t k = 0; k < groups; ++k) {
        const auto due = start + static_cast<std::int64_t>(1e9 * static_cast<double>(k * group) / rate);
        while (nanoseconds() < due) {
        }
        for (int i = 0; i < group; ++i) {
            if (path != nullptr) {
                parts[i].iov_base = file.data() + ((sent + i) % pieces) * size;
            } else {
                char number[24];
                std::snprintf(number, sizeof number, "%012lld ", static_cast<long long>(sent + i));
                std::memcpy(block.data() + i * size, number, 13);
            }
        }
        if (blocks) {
            if (path != nullptr ? sendmsg(sock, &whole, 0) < 0
                                : sendto(sock, block.data(), block.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
                return 1;
        } else {
            for (int done = 0; done < group;) {
                const int n = sendmmsg(sock, messages.data() + done, static_cast<unsigned>(group - done), 0);
                if (n < 0)
                    return 1;
                done += n;
            }
        }
        sent += group;
    }
    const double seconds = static_cast<double>(nanoseconds() - start) / 1e9;
    std::printf("%lld %.0f\n", static_cast<long long>(sent), seconds > 0 ? static_cast<double>(sent) / seconds : 0.0);
}
