// frandle-probe's logic: chunks made and read, sizes, and the tally of what a receiver printed.
#include "probe_lib.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace probe {

namespace {

constexpr std::string_view MAGIC = "FRP1 ";
constexpr std::size_t RUN_AT = 5, SEQ_AT = 14, TOTAL_AT = 25, LENGTH_AT = 36, CRC_AT = 42;
constexpr std::string_view LINE_START = "rcvd ";

}  // namespace

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
bool hasCrcInstruction() { return __builtin_cpu_supports("sse4.2"); }

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
static const auto crcStep = hasCrcInstruction() ? crcByInstruction : crcByTable;
#else
static const auto crcStep = crcByTable;
#endif

std::uint32_t chunkCrc(const char *chunk, std::size_t length)
{
    const std::uint32_t head = crcStep(~0U, chunk, CRC_AT);
    return ~crcStep(head, chunk + CRC_AT + 8, length - CRC_AT - 8);
}

std::optional<std::uint64_t> sizeOf(std::string_view text)
{
    std::size_t at = 0;
    std::uint64_t number = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const auto digit = static_cast<std::uint64_t>(text[at] - '0');
        if (number > (UINT64_MAX - digit) / 10)
            return {};
        number = number * 10 + digit;
    }
    if (at == 0 || text.size() - at > 1)
        return {};
    const char suffix = at < text.size() ? text[at] : '\0';
    const int shift = suffix == '\0' ? 0 : suffix == 'k' || suffix == 'K' ? 10 : suffix == 'm' || suffix == 'M' ? 20
                                      : suffix == 'g' || suffix == 'G' ? 30 : -1;
    if (shift < 0 || number > UINT64_MAX >> shift)
        return {};
    return number << shift;
}

std::size_t Layout::lengthOf(std::uint64_t seq) const
{
    return seq + 1 == count ? last : seq + 2 == count ? beforeLast : chunk;
}

std::uint64_t chunksIn(std::uint64_t size, std::size_t chunk) { return size / chunk + (size % chunk != 0 ? 1 : 0); }

std::optional<Layout> layoutOf(std::uint64_t size, std::size_t chunk)
{
    const std::uint64_t count = chunksIn(size, chunk);
    const auto last = static_cast<std::size_t>(size - (count - 1) * chunk);
    if (last >= HEADER)
        return Layout{count, chunk, chunk, last};
    const std::size_t lacking = HEADER - last;
    if (chunk < HEADER + lacking)
        return {};
    return Layout{count, chunk, chunk - lacking, HEADER};
}

// Built by appending: GCC 12 at -O2 takes "'" + std::string for an overlapping copy.
std::string quoted(std::string_view text)
{
    std::string out(1, '\'');
    out.append(text).push_back('\'');
    return out;
}

std::variant<Layout, std::string> layoutFor(std::string_view sizeText, std::optional<std::string_view> chunkText)
{
    const auto size = sizeOf(sizeText);
    if (!size)
        return "not a size: " + quoted(sizeText);
    const auto chunk = chunkText ? sizeOf(*chunkText) : DEFAULT_CHUNK;
    if (!chunk)
        return "not a send size: " + quoted(*chunkText);
    if (*chunk < HEADER || *chunk > LARGEST_CHUNK)
        return "a send size of " + quoted(*chunkText) + " is not from " + std::to_string(HEADER) +
               " (a chunk's header) to " + std::to_string(LARGEST_CHUNK) + " (the largest UDP payload)";
    if (*size < HEADER)
        return "SIZE " + quoted(sizeText) + " is less than a chunk's " + std::to_string(HEADER) + "-byte header";
    if (chunksIn(*size, *chunk) > LARGEST_COUNT)
        return "SIZE " + quoted(sizeText) + " makes more than " + std::to_string(LARGEST_COUNT) + " chunks";
    const auto layout = layoutOf(*size, *chunk);
    if (!layout)
        return "SIZE " + quoted(sizeText) + " leaves a last chunk of " + std::to_string(*size % *chunk) +
               " bytes, too small for its header even with bytes of the one before; " +
               std::to_string(*size - *size % *chunk) + " would not";
    return *layout;
}

void writeChunk(char *at, std::uint32_t run, std::uint64_t seq, const Layout &layout)
{
    // Letters from 'a' on, shifted by the chunk's number: a copy, not a loop a byte.
    static const auto letters = [] {
        std::array<char, 26 + LARGEST_CHUNK> l{};
        for (std::size_t i = 0; i < l.size(); ++i)
            l[i] = static_cast<char>('a' + i % 26);
        return l;
    }();
    const std::size_t length = layout.lengthOf(seq);
    char header[96];
    snprintf(header, sizeof header, "FRP1 %08" PRIx32 " %010" PRIu64 "/%010" PRIu64 " %05zu 00000000 ", run, seq,
             layout.count, length);
    std::memcpy(at, header, HEADER);
    std::memcpy(at + HEADER, letters.data() + seq % 26 + HEADER, length - HEADER);
    char crc[9];
    snprintf(crc, sizeof crc, "%08" PRIx32, chunkCrc(at, length));
    std::memcpy(at + CRC_AT, crc, 8);
}

std::optional<std::uint32_t> runNamed(std::string_view text)
{
    if (text.size() != 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return {};
    return static_cast<std::uint32_t>(std::stoul(std::string(text), nullptr, 16));
}

bool Ranges::contains(std::uint64_t n) const
{
    auto after = spans_.upper_bound(n);
    return after != spans_.begin() && n < std::prev(after)->second;
}

void Ranges::insert(std::uint64_t n)
{
    const auto after = spans_.upper_bound(n);
    const auto before = after == spans_.begin() ? spans_.end() : std::prev(after);
    if (before != spans_.end() && n < before->second)
        return;
    const bool joinsBefore = before != spans_.end() && before->second == n;
    const bool joinsAfter = after != spans_.end() && after->first == n + 1;
    if (joinsBefore && joinsAfter) {
        before->second = after->second;
        spans_.erase(after);
    } else if (joinsBefore) {
        before->second = n + 1;
    } else if (joinsAfter) {
        auto node = spans_.extract(after);  // moved forward without a new allocation
        node.key() = n;
        spans_.insert(std::move(node));
    } else {
        spans_.emplace_hint(after, n, n + 1);
    }
}

void Ranges::erase(std::uint64_t n)
{
    auto after = spans_.upper_bound(n);
    if (after == spans_.begin() || n >= std::prev(after)->second)
        return;
    const auto span = std::prev(after);
    const std::uint64_t first = span->first, end = span->second;
    if (end - first == 1) {
        spans_.erase(span);
    } else if (n == first) {
        auto node = spans_.extract(span);
        node.key() = n + 1;
        spans_.insert(after, std::move(node));
    } else {
        span->second = n;
        if (n + 1 < end)
            spans_.emplace_hint(after, n + 1, end);
    }
}

std::uint64_t Ranges::countBelow(std::uint64_t limit) const
{
    std::uint64_t count = 0;
    for (const auto &[first, end] : spans_) {
        if (first >= limit)
            break;
        count += std::min(end, limit) - first;
    }
    return count;
}

Figures figuresOf(const Run &run)
{
    Figures f{};
    f.known = run.count != 0;
    f.intact = run.intact.countBelow(UINT64_MAX);
    f.duplicated = run.duplicated;
    f.outOfOrder = run.outOfOrder;
    const std::uint64_t damaged = run.damaged.countBelow(UINT64_MAX);
    if (!f.known) {
        f.damaged = damaged;
        return f;
    }
    f.expected = run.count;
    f.damaged = run.damaged.countBelow(run.count);
    f.beyond = damaged - f.damaged;
    f.missing = f.expected - f.intact - f.damaged;
    return f;
}

namespace {

// Fixed-width fields: the value when every character is a digit of the base.
std::optional<std::uint64_t> fieldOf(std::string_view chunk, std::size_t at, std::size_t width, int base)
{
    std::uint64_t value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        const char c = chunk[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return {};
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

bool intact(std::string_view chunk, std::uint64_t total, const Run &run)
{
    const auto length = fieldOf(chunk, LENGTH_AT, 5, 10);
    const auto crc = fieldOf(chunk, CRC_AT, 8, 16);
    // Another count under the same run cannot be this run's.
    return length && crc && *length == chunk.size() && *crc == chunkCrc(chunk.data(), chunk.size()) &&
           (run.count == 0 || total == run.count);
}

void placeIntact(Run &run, std::uint64_t seq)
{
    if (run.intact.contains(seq)) {
        ++run.duplicated;
        return;
    }
    if (run.damaged.contains(seq)) {  // a damaged copy came first
        ++run.duplicated;
        run.damaged.erase(seq);
    }
    if (!run.intact.empty() && seq < run.highest)
        ++run.outOfOrder;
    run.highest = std::max(run.highest, seq);
    run.intact.insert(seq);
}

void placeDamaged(Run &run, std::uint64_t seq)
{
    if (run.intact.contains(seq) || run.damaged.contains(seq))
        ++run.duplicated;
    else
        run.damaged.insert(seq);
}

}  // namespace

void take(std::string_view line, Tally &tally)
{
    if (line.substr(0, LINE_START.size()) != LINE_START)
        return;  // not a datagram line
    const std::string_view chunk = line.substr(LINE_START.size());
    if (chunk.substr(0, MAGIC.size()) != MAGIC) {
        ++tally.foreign;
        return;
    }
    const auto id = chunk.size() >= HEADER ? fieldOf(chunk, RUN_AT, 8, 16) : std::nullopt;
    const auto seq = id ? fieldOf(chunk, SEQ_AT, 10, 10) : std::nullopt;
    const auto total = seq ? fieldOf(chunk, TOTAL_AT, 10, 10) : std::nullopt;
    if (!total || *seq >= *total) {
        ++tally.damagedUnknown;
        return;
    }
    const auto run = static_cast<std::uint32_t>(*id);
    auto found = tally.runs.find(run);
    if (found == tally.runs.end()) {
        if (tally.runs.size() >= RUNS_KEPT && run != tally.chosen) {
            ++tally.linesPastRuns;
            return;
        }
        found = tally.runs.emplace(run, Run{}).first;
    }
    Run &r = found->second;
    if (!intact(chunk, *total, r)) {
        placeDamaged(r, *seq);
        return;
    }
    r.count = *total;
    placeIntact(r, *seq);
}

bool readLog(int log, Tally &tally)
{
    std::vector<char> buffer(LONGEST_LINE);
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
        if (held == buffer.size()) {  // no line end in a whole block: judged by its start, as a shorter one
            if (!overlong)
                take(std::string_view(buffer.data(), held), tally);
            overlong = true;
            held = 0;
        } else {
            std::memmove(buffer.data(), buffer.data() + start, held);
        }
    }
}

namespace {

bool runWhole(const Figures &f) { return f.known && f.missing == 0 && f.duplicated == 0 && f.damaged == 0; }

std::uint64_t damagedUnknownOf(const Tally &tally)
{
    std::uint64_t count = tally.damagedUnknown;
    for (const auto &entry : tally.runs)
        count += figuresOf(entry.second).beyond;
    return count;
}

// Calls visit(first, last) for each range of numbers of a run of known count with neither
// an intact nor a damaged copy, in order, while it returns true.
template <typename Visit>
void forEachMissing(const Run &run, Visit visit)
{
    auto a = run.intact.spans().begin(), b = run.damaged.spans().begin();
    const auto aEnd = run.intact.spans().end(), bEnd = run.damaged.spans().end();
    for (std::uint64_t next = 0; next < run.count;) {
        if (a == aEnd && b == bEnd) {
            visit(next, run.count - 1);
            return;
        }
        const auto span = a != aEnd && (b == bEnd || a->first < b->first) ? *a++ : *b++;
        if (span.first > next && !visit(next, std::min(span.first, run.count) - 1))
            return;
        next = std::max(next, span.second);
    }
}

constexpr std::size_t RANGES_SHOWN = 5;

}  // namespace

bool whole(const Tally &tally)
{
    if (tally.chosen) {
        const auto found = tally.runs.find(*tally.chosen);
        return found != tally.runs.end() && runWhole(figuresOf(found->second));
    }
    if (tally.runs.empty() || tally.linesPastRuns != 0 || damagedUnknownOf(tally) != 0)
        return false;
    return std::all_of(tally.runs.begin(), tally.runs.end(),
                       [](const auto &entry) { return runWhole(figuresOf(entry.second)); });
}

namespace {

void printVerdict(std::FILE *out, const Tally &tally)
{
    if (!tally.chosen) {
        fprintf(out, "verdict: %s\n", tally.runs.empty() ? "no probe datagram found"
                                      : whole(tally)     ? "every datagram arrived intact, exactly once"
                                                         : "not every datagram arrived intact, exactly once");
        return;
    }
    const std::uint32_t id = *tally.chosen;
    if (!tally.runs.contains(id))
        fprintf(out, "verdict: no probe datagram of run %08" PRIx32 " found\n", id);
    else
        fprintf(out, "verdict: %s datagram of run %08" PRIx32 " arrived intact, exactly once\n",
                whole(tally) ? "every" : "not every", id);
}

}  // namespace

void reportText(std::FILE *out, const Tally &tally)
{
    for (const auto &[id, r] : tally.runs) {
        const Figures f = figuresOf(r);
        if (!f.known) {
            fprintf(out,
                    "run %08" PRIx32 ": expected unknown, intact %" PRIu64 ", missing unknown, duplicated %" PRIu64
                    ", out of order %" PRIu64 ", damaged %" PRIu64 "\n",
                    id, f.intact, f.duplicated, f.outOfOrder, f.damaged);
            continue;
        }
        fprintf(out,
                "run %08" PRIx32 ": expected %" PRIu64 ", intact %" PRIu64 ", missing %" PRIu64 ", duplicated %" PRIu64
                ", out of order %" PRIu64 ", damaged %" PRIu64 "\n",
                id, f.expected, f.intact, f.missing, f.duplicated, f.outOfOrder, f.damaged);
        if (f.missing == 0)
            continue;
        fprintf(out, "  missing:");
        std::size_t shown = 0;
        forEachMissing(r, [&](std::uint64_t first, std::uint64_t last) {
            if (shown == RANGES_SHOWN) {
                fprintf(out, ", ...");
                return false;
            }
            const char *separator = shown++ == 0 ? " " : ", ";
            if (first == last)
                fprintf(out, "%s%" PRIu64, separator, first);
            else
                fprintf(out, "%s%" PRIu64 "-%" PRIu64, separator, first, last);
            return true;
        });
        fprintf(out, "\n");
    }
    if (const std::uint64_t unknown = damagedUnknownOf(tally); unknown != 0)
        fprintf(out, "damaged, run unknown: %" PRIu64 "\n", unknown);
    if (tally.linesPastRuns != 0)
        fprintf(out, "lines of runs past the first %zu: %" PRIu64 "\n", RUNS_KEPT, tally.linesPastRuns);
    fprintf(out, "foreign lines: %" PRIu64 "\n", tally.foreign);
    printVerdict(out, tally);
}

void reportJson(std::FILE *out, const Tally &tally)
{
    fprintf(out, "{\"runs\":[");
    const char *comma = "";
    for (const auto &[id, r] : tally.runs) {
        const Figures f = figuresOf(r);
        fprintf(out, "%s{\"run\":\"%08" PRIx32 "\"", comma, id);
        if (f.known) {
            fprintf(out, ",\"expected\":%" PRIu64 ",\"intact\":%" PRIu64 ",\"missing\":%" PRIu64 ",\"missing_ranges\":[",
                    f.expected, f.intact, f.missing);
            const char *inner = "";
            forEachMissing(r, [&](std::uint64_t first, std::uint64_t last) {
                fprintf(out, "%s[%" PRIu64 ",%" PRIu64 "]", inner, first, last);
                inner = ",";
                return true;
            });
            fprintf(out, "]");
        } else {
            fprintf(out, ",\"expected\":null,\"intact\":%" PRIu64 ",\"missing\":null,\"missing_ranges\":null", f.intact);
        }
        fprintf(out, ",\"duplicated\":%" PRIu64 ",\"out_of_order\":%" PRIu64 ",\"damaged\":%" PRIu64 "}", f.duplicated,
                f.outOfOrder, f.damaged);
        comma = ",";
    }
    fprintf(out, "],\"damaged_run_unknown\":%" PRIu64, damagedUnknownOf(tally));
    if (tally.linesPastRuns != 0)
        fprintf(out, ",\"lines_past_first_runs\":%" PRIu64, tally.linesPastRuns);
    fprintf(out, ",\"foreign\":%" PRIu64, tally.foreign);
    if (tally.chosen)
        fprintf(out, ",\"checked_run\":\"%08" PRIx32 "\"", *tally.chosen);
    fprintf(out, ",\"complete\":%s}\n", whole(tally) ? "true" : "false");
}

}  // namespace probe
