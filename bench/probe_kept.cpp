// Counts the datagrams of a probe file that a receiver's output holds intact: each must be
// byte for byte the 1396-byte piece of the file that its header numbers (the ten digits
// at offset 14 of a chunk of frandle-probe make). "lines": the output is R's, a line
// "rcvd " and the datagram each, other lines ignored; "bytes": the datagrams' bytes one
// after another, as receive_floor writes them, taken 1396 bytes at a time.
// Usage: probe_kept lines|bytes PROBE OUTPUT; prints the count.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t size = 1396;
constexpr std::size_t seqAt = 14, seqDigits = 10;

// A file's bytes, mapped; empty where it is empty or cannot be mapped.
std::string_view mapped(const char *path)
{
    const int fd = open(path, O_RDONLY);
    struct stat about{};
    if (fd < 0 || fstat(fd, &about) < 0 || about.st_size <= 0) {
        if (fd >= 0)
            close(fd);
        return {};
    }
    void *at = mmap(nullptr, static_cast<std::size_t>(about.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (at == MAP_FAILED)
        return {};
    madvise(at, static_cast<std::size_t>(about.st_size), MADV_SEQUENTIAL);
    return {static_cast<const char *>(at), static_cast<std::size_t>(about.st_size)};
}

// Whether a datagram is the piece of the probe that its header numbers.
bool intact(std::string_view datagram, std::string_view probe)
{
    if (datagram.size() != size)
        return false;
    std::uint64_t seq = 0;
    for (std::size_t i = seqAt; i < seqAt + seqDigits; ++i) {
        const char c = datagram[i];
        if (c < '0' || c > '9')
            return false;
        seq = seq * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return seq < probe.size() / size && std::memcmp(datagram.data(), probe.data() + seq * size, size) == 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 4 || (std::strcmp(argv[1], "lines") != 0 && std::strcmp(argv[1], "bytes") != 0)) {
        std::fprintf(stderr, "usage: probe_kept lines|bytes PROBE OUTPUT\n");
        return 2;
    }
    const std::string_view probe = mapped(argv[2]);
    if (probe.size() < size || probe.size() % size != 0) {
        std::fprintf(stderr, "probe_kept: %s: unreadable or not a whole number of %zu-byte pieces\n", argv[2], size);
        return 2;
    }
    const std::string_view out = mapped(argv[3]);  // empty: nothing kept
    std::uint64_t kept = 0;
    if (argv[1][0] == 'b') {
        for (std::size_t at = 0; at + size <= out.size(); at += size)
            kept += intact(out.substr(at, size), probe) ? 1 : 0;
    } else {
        constexpr std::string_view start = "rcvd ";
        for (std::size_t at = 0; at < out.size();) {
            std::size_t end = out.find('\n', at);
            if (end == std::string_view::npos)
                end = out.size();
            const std::string_view line = out.substr(at, end - at);
            if (line.starts_with(start))
                kept += intact(line.substr(start.size()), probe) ? 1 : 0;
            at = end + 1;
        }
    }
    std::printf("%llu\n", static_cast<unsigned long long>(kept));
}
