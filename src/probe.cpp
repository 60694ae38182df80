// frandle-probe: makes a file whose chunks describe themselves, and checks what a receiver
// printed of them: which arrived intact, which are missing, duplicated, out of order or
// damaged. Usage: frandle-probe make SIZE [send size] | frandle-probe check [--json] [LOG...]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

constexpr const char *usage = "usage: frandle-probe make SIZE [send size] | frandle-probe check [--json] [LOG...]";

// A chunk: "FRP1 RRRRRRRR SSSSSSSSSS/TTTTTTTTTT LLLLL CCCCCCCC " and filler up to its length:
// the run (hex), its number and the run's count (decimal, from 0), its length, and the
// CRC-32C of every byte of the chunk but the eight of the CRC itself (hex).
constexpr std::string_view MAGIC = "FRP1 ";
constexpr std::size_t RUN_AT = 5, SEQ_AT = 14, TOTAL_AT = 25, LENGTH_AT = 36, CRC_AT = 42;
constexpr std::size_t HEADER = 51;
constexpr std::size_t DEFAULT_CHUNK = 1396;
constexpr std::size_t LARGEST_CHUNK = 65507;  // the payload of the largest IPv4 datagram
constexpr std::uint64_t LARGEST_COUNT = 9999999999;
constexpr std::string_view LINE_START = "rcvd ";

[[noreturn]] void failWith(const char *call)
{
    perror(call);
    exit(2);
}

[[noreturn]] void refuse(const std::string &why)
{
    fprintf(stderr, "frandle-probe: %s\n%s\n", why.c_str(), usage);
    exit(2);
}

// CRC-32C (Castagnoli), by the processor's own instruction where it has one.
std::uint32_t crcByTable(std::uint32_t crc, const char *bytes, std::size_t length)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0x82F63B78 ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    for (std::size_t i = 0; i < length; ++i)
        crc = table[(crc ^ static_cast<unsigned char>(bytes[i])) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t crcByInstruction(std::uint32_t crc, const char *bytes, std::size_t length)
{
    std::uint64_t wide = crc;
    for (; length >= 8; bytes += 8, length -= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes, 8);
        wide = _mm_crc32_u64(wide, word);
    }
    crc = static_cast<std::uint32_t>(wide);
    for (; length > 0; ++bytes, --length)
        crc = _mm_crc32_u8(crc, static_cast<unsigned char>(*bytes));
    return crc;
}
const auto crcStep = __builtin_cpu_supports("sse4.2") ? crcByInstruction : crcByTable;
#else
const auto crcStep = crcByTable;
#endif

std::uint32_t chunkCrc(const char *chunk, std::size_t length)
{
    const std::uint32_t head = crcStep(~0U, chunk, CRC_AT);
    return ~crcStep(head, chunk + CRC_AT + 8, length - CRC_AT - 8);
}

// SIZE with k, M or G (powers of 1024); nothing else may follow the number.
std::uint64_t sizeOf(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (end == text || errno != 0 || text[0] == '-')
        refuse(std::string("not a size: ") + text);
    const std::string_view suffix(end);
    const std::uint64_t unit = suffix.empty() ? 1 : suffix == "k" ? 1ULL << 10 : suffix == "M" ? 1ULL << 20 : suffix == "G" ? 1ULL << 30 : 0;
    if (unit == 0 || number > UINT64_MAX / unit)
        refuse(std::string("not a size: ") + text);
    return number * unit;
}

void writeOut(const char *bytes, std::size_t length)
{
    for (std::size_t at = 0; at < length;) {
        const ssize_t wrote = write(STDOUT_FILENO, bytes + at, length - at);
        if (wrote < 0)
            failWith("stdout");
        at += static_cast<std::size_t>(wrote);
    }
}

void make(std::uint64_t size, std::size_t chunk)
{
    if (chunk < HEADER || chunk > LARGEST_CHUNK)
        refuse("a send size of " + std::to_string(chunk) + " cannot hold a chunk's " + std::to_string(HEADER) +
               "-byte header (" + std::to_string(HEADER) + " to " + std::to_string(LARGEST_CHUNK) + ")");
    if (size < HEADER)
        refuse("SIZE must be at least " + std::to_string(HEADER) + " bytes, one chunk's header");
    const std::uint64_t count = (size + chunk - 1) / chunk;
    const std::uint64_t last = size - (count - 1) * chunk;
    if (last < HEADER)
        refuse("SIZE leaves a last chunk of " + std::to_string(last) + " bytes, too small for its header; " +
               std::to_string(size - last) + " would not");
    if (count > LARGEST_COUNT)
        refuse("SIZE makes more chunks than a probe counts");
    std::random_device entropy;
    const auto run = static_cast<std::uint32_t>(entropy());

    std::vector<char> block((1 << 20) / chunk * chunk + chunk);
    std::size_t used = 0;
    for (std::uint64_t seq = 0; seq < count; ++seq) {
        const std::size_t length = seq + 1 == count ? static_cast<std::size_t>(last) : chunk;
        char *at = block.data() + used;
        char header[96];
        snprintf(header, sizeof header, "FRP1 %08" PRIx32 " %010" PRIu64 "/%010" PRIu64 " %05zu 00000000 ", run, seq, count,
                 length);
        std::memcpy(at, header, HEADER);
        for (std::size_t i = HEADER; i < length; ++i)
            at[i] = static_cast<char>('a' + (seq + i) % 26);
        char crc[9];
        snprintf(crc, sizeof crc, "%08" PRIx32, chunkCrc(at, length));
        std::memcpy(at + CRC_AT, crc, 8);
        used += length;
        if (used + chunk > block.size()) {
            writeOut(block.data(), used);
            used = 0;
        }
    }
    writeOut(block.data(), used);
}

// Fixed-width fields: true and the value when every character is a digit of the base.
bool fieldOf(std::string_view line, std::size_t at, std::size_t width, int base, std::uint64_t &value)
{
    value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        const char c = line[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return false;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return true;
}

struct Run {
    std::uint64_t expected = 0;
    std::vector<std::uint64_t> arrived;  // a bit a datagram
    std::uint64_t intact = 0, duplicated = 0, outOfOrder = 0, damaged = 0;
    std::uint64_t highest = 0;
    bool any = false;

    // A run seen only damaged expects nothing yet, and misses nothing.
    std::uint64_t missing() const { return expected - (intact - duplicated); }
};

struct Tally {
    std::map<std::uint32_t, Run> runs;
    std::uint64_t foreign = 0;
    std::uint64_t damagedUnknown = 0;  // a probe line too damaged to tell its run
};

void take(std::string_view line, Tally &tally)
{
    if (line.substr(0, LINE_START.size()) != LINE_START)
        return;  // not a datagram line
    const std::string_view chunk = line.substr(LINE_START.size());
    if (chunk.substr(0, MAGIC.size()) != MAGIC) {
        ++tally.foreign;
        return;
    }
    std::uint64_t run = 0, seq = 0, total = 0, length = 0, crc = 0;
    if (chunk.size() < HEADER || !fieldOf(chunk, RUN_AT, 8, 16, run) || !fieldOf(chunk, SEQ_AT, 10, 10, seq) ||
        !fieldOf(chunk, TOTAL_AT, 10, 10, total) || seq >= total) {
        ++tally.damagedUnknown;
        return;
    }
    Run &r = tally.runs[static_cast<std::uint32_t>(run)];
    // Another count under the same run cannot be this run's (and must not index past it).
    if (!fieldOf(chunk, LENGTH_AT, 5, 10, length) || !fieldOf(chunk, CRC_AT, 8, 16, crc) || length != chunk.size() ||
        crc != chunkCrc(chunk.data(), chunk.size()) || (r.expected != 0 && total != r.expected)) {
        ++r.damaged;
        return;
    }
    if (r.expected == 0) {
        r.expected = total;
        r.arrived.assign((total + 63) / 64, 0);
    }
    ++r.intact;
    std::uint64_t &word = r.arrived[seq / 64];
    const std::uint64_t bit = 1ULL << (seq % 64);
    if ((word & bit) != 0) {
        ++r.duplicated;
        return;
    }
    word |= bit;
    if (r.any && seq < r.highest)
        ++r.outOfOrder;
    r.highest = std::max(r.highest, seq);
    r.any = true;
}

// Reads a log in large blocks, line by line; a line longer than the block is foreign.
bool check(int log, Tally &tally)
{
    std::vector<char> buffer(1 << 20);
    std::size_t held = 0;
    bool overlong = false;
    for (;;) {
        const ssize_t got = read(log, buffer.data() + held, buffer.size() - held);
        if (got < 0)
            return false;
        const std::size_t end = held + static_cast<std::size_t>(got);
        std::size_t start = 0;
        for (const char *newline; (newline = static_cast<const char *>(std::memchr(buffer.data() + start, '\n', end - start)));) {
            const auto stop = static_cast<std::size_t>(newline - buffer.data());
            if (!overlong)
                take(std::string_view(buffer.data() + start, stop - start), tally);
            overlong = false;
            start = stop + 1;
        }
        if (got == 0) {
            if (start < end && !overlong)
                take(std::string_view(buffer.data() + start, end - start), tally);
            return true;
        }
        held = end - start;
        if (held == buffer.size()) {  // no line end in a whole block
            overlong = true;
            ++tally.foreign;
            held = 0;
        } else {
            std::memmove(buffer.data(), buffer.data() + start, held);
        }
    }
}

// The first few runs of missing datagrams, as "a" or "a-b".
std::vector<std::pair<std::uint64_t, std::uint64_t>> missingRanges(const Run &r, std::size_t most)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (std::uint64_t seq = 0; seq < r.expected && ranges.size() < most; ++seq) {
        if ((r.arrived[seq / 64] >> (seq % 64) & 1) != 0)
            continue;
        std::uint64_t stop = seq;
        while (stop + 1 < r.expected && (r.arrived[(stop + 1) / 64] >> ((stop + 1) % 64) & 1) == 0)
            ++stop;
        ranges.emplace_back(seq, stop);
        seq = stop;
    }
    return ranges;
}

// Every datagram of every run arrived intact, exactly once (order and foreign lines aside).
bool whole(const Tally &tally)
{
    if (tally.runs.empty() || tally.damagedUnknown != 0)
        return false;
    return std::all_of(tally.runs.begin(), tally.runs.end(), [](const auto &entry) {
        const Run &r = entry.second;
        return r.expected > 0 && r.missing() == 0 && r.duplicated == 0 && r.damaged == 0;
    });
}

constexpr std::size_t RANGES_SHOWN = 5;

void reportText(const Tally &tally)
{
    for (const auto &[id, r] : tally.runs) {
        printf("run %08" PRIx32 ": expected %" PRIu64 ", intact %" PRIu64 ", missing %" PRIu64 ", duplicated %" PRIu64
               ", out of order %" PRIu64 ", damaged %" PRIu64 "\n",
               id, r.expected, r.intact - r.duplicated, r.missing(), r.duplicated, r.outOfOrder, r.damaged);
        if (r.missing() != 0) {
            // One range more than shown, to tell whether there are more.
            const auto ranges = missingRanges(r, RANGES_SHOWN + 1);
            printf("  missing:");
            const char *separator = " ";
            for (std::size_t i = 0; i < std::min(ranges.size(), RANGES_SHOWN); ++i) {
                const auto &[first, last] = ranges[i];
                if (first == last)
                    printf("%s%" PRIu64, separator, first);
                else
                    printf("%s%" PRIu64 "-%" PRIu64, separator, first, last);
                separator = ", ";
            }
            printf("%s\n", ranges.size() > RANGES_SHOWN ? ", ..." : "");
        }
    }
    if (tally.damagedUnknown != 0)
        printf("damaged, run unknown: %" PRIu64 "\n", tally.damagedUnknown);
    printf("foreign lines: %" PRIu64 "\n", tally.foreign);
    printf("verdict: %s\n", tally.runs.empty() ? "no probe datagram found"
                            : whole(tally) ? "every datagram arrived intact, exactly once"
                                           : "not every datagram arrived intact, exactly once");
}

void reportJson(const Tally &tally)
{
    printf("{\"runs\":[");
    const char *comma = "";
    for (const auto &[id, r] : tally.runs) {
        printf("%s{\"run\":\"%08" PRIx32 "\",\"expected\":%" PRIu64 ",\"intact\":%" PRIu64 ",\"missing\":%" PRIu64
               ",\"missing_ranges\":[",
               comma, id, r.expected, r.intact - r.duplicated, r.missing());
        const char *inner = "";
        for (const auto &[first, last] : missingRanges(r, RANGES_SHOWN)) {
            printf("%s[%" PRIu64 ",%" PRIu64 "]", inner, first, last);
            inner = ",";
        }
        printf("],\"duplicated\":%" PRIu64 ",\"out_of_order\":%" PRIu64 ",\"damaged\":%" PRIu64 "}", r.duplicated,
               r.outOfOrder, r.damaged);
        comma = ",";
    }
    printf("],\"damaged_run_unknown\":%" PRIu64 ",\"foreign\":%" PRIu64 ",\"complete\":%s}\n", tally.damagedUnknown,
           tally.foreign, whole(tally) ? "true" : "false");
}

}  // namespace

int main(int argc, char *argv[])
{
    const std::string verb = argc >= 2 ? argv[1] : "";
    if (verb == "make" && (argc == 3 || argc == 4)) {
        make(sizeOf(argv[2]), argc == 4 ? static_cast<std::size_t>(std::min<std::uint64_t>(sizeOf(argv[3]), LARGEST_CHUNK + 1))
                                        : DEFAULT_CHUNK);
        return 0;
    }
    if (verb != "check")
        refuse(argc < 2 ? "make or check?" : "unknown words: " + verb);
    int first = 2;
    const bool json = argc > 2 && std::string_view(argv[2]) == "--json";
    first += json ? 1 : 0;
    Tally tally;
    if (first == argc && !check(STDIN_FILENO, tally))
        failWith("standard input");
    for (int i = first; i < argc; ++i) {
        const int log = open(argv[i], O_RDONLY);
        if (log < 0 || !check(log, tally))
            failWith(argv[i]);
        close(log);
    }
    if (json)
        reportJson(tally);
    else
        reportText(tally);
    if (fflush(stdout) != 0 || ferror(stdout))
        failWith("stdout");
    return whole(tally) ? 0 : 1;
}
