// frandle-probe's logic: chunks made and read, sizes, and the tally of what a receiver printed.
#include "probe_lib.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace probe {

namespace {

constexpr std::string_view MAGIC = "FRP1 ", TIMED_MAGIC = "FRP2 ";
constexpr std::size_t RUN_AT = 5, SEQ_AT = 14, TOTAL_AT = 25, LENGTH_AT = 36, CRC_AT = 42;
constexpr std::size_t TIME_AT = 42, TIMED_CRC_AT = 59;  // of a timed chunk; the fields before are shared
constexpr std::string_view LINE_START = "rcvd ";

// Where a chunk's kind puts its CRC, and how long its header is.
struct Kind {
    std::size_t header, crcAt;
};
constexpr Kind UNTIMED{HEADER, CRC_AT}, TIMED{TIMED_HEADER, TIMED_CRC_AT};

std::optional<Kind> kindOf(std::string_view chunk)
{
    if (chunk.starts_with(MAGIC))
        return UNTIMED;
    if (chunk.starts_with(TIMED_MAGIC))
        return TIMED;
    return {};
}

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

namespace {

std::uint32_t crcAround(const char *chunk, std::size_t length, std::size_t crcAt)
{
    const std::uint32_t head = crcStep(~0U, chunk, crcAt);
    return ~crcStep(head, chunk + crcAt + 8, length - crcAt - 8);
}

// Lower-case hex, as the header's fields are read; no snprintf on the sender's path.
void putHex(char *at, std::uint64_t value, std::size_t digits)
{
    for (std::size_t i = digits; i-- > 0; value >>= 4)
        at[i] = "0123456789abcdef"[value & 0xF];
}

void seal(char *chunk, std::size_t length, const Kind &kind)
{
    putHex(chunk + kind.crcAt, crcAround(chunk, length, kind.crcAt), 8);
}

}  // namespace

std::uint32_t chunkCrc(const char *chunk, std::size_t length)
{
    return crcAround(chunk, length, kindOf(std::string_view(chunk, length)).value_or(UNTIMED).crcAt);
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

std::optional<Layout> layoutOf(std::uint64_t size, std::size_t chunk, std::size_t header)
{
    const std::uint64_t count = chunksIn(size, chunk);
    const auto last = static_cast<std::size_t>(size - (count - 1) * chunk);
    if (last >= header)
        return Layout{count, chunk, chunk, last};
    const std::size_t lacking = header - last;
    if (chunk < header + lacking)
        return {};
    return Layout{count, chunk, chunk - lacking, header};
}

// Built by appending: GCC 12 at -O2 takes "'" + std::string for an overlapping copy.
std::string quoted(std::string_view text)
{
    std::string out(1, '\'');
    out.append(text).push_back('\'');
    return out;
}

std::variant<Layout, std::string> layoutFor(std::string_view sizeText, std::optional<std::string_view> chunkText,
                                            std::size_t header)
{
    const auto size = sizeOf(sizeText);
    if (!size)
        return "not a size: " + quoted(sizeText);
    const auto chunk = chunkText ? sizeOf(*chunkText) : DEFAULT_CHUNK;
    if (!chunk)
        return "not a send size: " + quoted(*chunkText);
    if (*chunk < header || *chunk > LARGEST_CHUNK)
        return "a send size of " + quoted(*chunkText) + " is not from " + std::to_string(header) +
               " (a chunk's header) to " + std::to_string(LARGEST_CHUNK) + " (the largest UDP payload)";
    if (*size < header)
        return "SIZE " + quoted(sizeText) + " is less than a chunk's " + std::to_string(header) + "-byte header";
    if (chunksIn(*size, *chunk) > LARGEST_COUNT)
        return "SIZE " + quoted(sizeText) + " makes more than " + std::to_string(LARGEST_COUNT) + " chunks";
    const auto layout = layoutOf(*size, *chunk, header);
    if (!layout)
        return "SIZE " + quoted(sizeText) + " leaves a last chunk of " + std::to_string(*size % *chunk) +
               " bytes, too small for its header even with bytes of the one before; " +
               std::to_string(*size - *size % *chunk) + " would not";
    return *layout;
}

namespace {

// Letters from 'a' on after the header, shifted by the chunk's number: a copy, not a loop a byte.
void fill(char *chunk, std::uint64_t seq, std::size_t header, std::size_t length)
{
    static const auto letters = [] {
        std::array<char, 26 + LARGEST_CHUNK> l{};
        for (std::size_t i = 0; i < l.size(); ++i)
            l[i] = static_cast<char>('a' + i % 26);
        return l;
    }();
    std::memcpy(chunk + header, letters.data() + seq % 26 + header, length - header);
}

// The fields both kinds share, with the space after the length.
void writeCommonFields(char *at, std::string_view magic, std::uint32_t run, std::uint64_t seq, std::uint64_t count,
                       std::size_t length)
{
    char fields[96];
    snprintf(fields, sizeof fields, "%.*s%08" PRIx32 " %010" PRIu64 "/%010" PRIu64 " %05zu ",
             static_cast<int>(magic.size()), magic.data(), run, seq, count, length);
    std::memcpy(at, fields, TIME_AT);
}

}  // namespace

void writeChunk(char *at, std::uint32_t run, std::uint64_t seq, const Layout &layout)
{
    const std::size_t length = layout.lengthOf(seq);
    writeCommonFields(at, MAGIC, run, seq, layout.count, length);
    at[HEADER - 1] = ' ';
    fill(at, seq, HEADER, length);
    seal(at, length, UNTIMED);
}

void writeTimedChunk(char *at, std::uint32_t run, std::uint64_t seq, const Layout &layout, std::int64_t sentNanoseconds)
{
    const std::size_t length = layout.lengthOf(seq);
    writeCommonFields(at, TIMED_MAGIC, run, seq, layout.count, length);
    at[TIMED_CRC_AT - 1] = ' ';
    at[TIMED_HEADER - 1] = ' ';
    fill(at, seq, TIMED_HEADER, length);
    stampChunk(at, length, sentNanoseconds);
}

void stampChunk(char *chunk, std::size_t length, std::int64_t sentNanoseconds)
{
    putHex(chunk + TIME_AT, static_cast<std::uint64_t>(sentNanoseconds), 16);
    seal(chunk, length, TIMED);
}

std::optional<std::uint32_t> runNamed(std::string_view text)
{
    if (text.size() != 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return {};
    return static_cast<std::uint32_t>(std::stoul(std::string(text), nullptr, 16));
}

bool Ranges::contains(std::uint64_t n) const
{
    if (spans_.empty() || n >= spans_.rbegin()->second)
        return false;  // past every range: what arrives in order, at once
    auto after = spans_.upper_bound(n);
    return after != spans_.begin() && n < std::prev(after)->second;
}

bool Ranges::insert(std::uint64_t n, std::size_t room)
{
    if (!spans_.empty() && spans_.rbegin()->second == n) {  // the next in order, at once
        ++spans_.rbegin()->second;
        return true;
    }
    const auto after = spans_.upper_bound(n);
    const auto before = after == spans_.begin() ? spans_.end() : std::prev(after);
    if (before != spans_.end() && n < before->second)
        return true;
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
    } else if (room == 0) {
        return false;
    } else {
        spans_.emplace_hint(after, n, n + 1);
    }
    return true;
}

bool Ranges::erase(std::uint64_t n, std::size_t room)
{
    auto after = spans_.upper_bound(n);
    if (after == spans_.begin() || n >= std::prev(after)->second)
        return true;
    const auto span = std::prev(after);
    const std::uint64_t first = span->first, end = span->second;
    if (end - first == 1) {
        spans_.erase(span);
    } else if (n == first) {
        auto node = spans_.extract(span);
        node.key() = n + 1;
        spans_.insert(after, std::move(node));
    } else if (n + 1 < end && room == 0) {
        return false;
    } else {
        span->second = n;
        if (n + 1 < end)
            spans_.emplace_hint(after, n + 1, end);
    }
    return true;
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
    f.estimated = run.estimated;
    f.intact = run.intact.countBelow(UINT64_MAX) + run.unkeptIntact;
    f.duplicated = run.duplicated;
    f.outOfOrder = run.outOfOrder;
    const std::uint64_t damaged = run.damaged.countBelow(UINT64_MAX) + run.unkeptDamaged;
    if (!f.known) {
        f.damaged = damaged;
        return f;
    }
    f.expected = run.count;
    f.damaged = run.damaged.countBelow(run.count) + run.unkeptDamaged;  // unkept: taken as below the count
    f.beyond = damaged - f.damaged;
    // Copies of unkept numbers count again, so an estimate may pass what was expected.
    f.missing = f.expected > f.intact + f.damaged ? f.expected - f.intact - f.damaged : 0;
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

bool intact(std::string_view chunk, const Kind &kind, std::uint64_t total, const Run &run)
{
    const auto length = fieldOf(chunk, LENGTH_AT, 5, 10);
    const auto crc = fieldOf(chunk, kind.crcAt, 8, 16);
    // Another count under the same run cannot be this run's.
    return length && crc && *length == chunk.size() && *crc == crcAround(chunk.data(), chunk.size(), kind.crcAt) &&
           (run.count == 0 || total == run.count);
}

std::size_t roomOf(const Run &run) { return RANGES_KEPT - run.intact.size() - run.damaged.size(); }

Arrival placeIntact(Run &run, std::uint64_t seq)
{
    if (run.intact.contains(seq)) {
        ++run.duplicated;
        return Arrival::Duplicate;
    }
    Arrival what = Arrival::Intact;
    if (run.damaged.contains(seq)) {  // a damaged copy came first
        ++run.duplicated;
        what = Arrival::Duplicate;
        if (!run.damaged.erase(seq, roomOf(run))) {  // left damaged: no range to spare for the split
            run.estimated = true;
            return what;
        }
    }
    if ((!run.intact.empty() || run.unkeptIntact != 0) && seq < run.highest) {
        ++run.outOfOrder;
        what = what == Arrival::Intact ? Arrival::OutOfOrder : what;
    }
    run.highest = std::max(run.highest, seq);
    if (!run.intact.insert(seq, roomOf(run))) {
        ++run.unkeptIntact;
        run.estimated = true;
    }
    return what;
}

Arrival placeDamaged(Run &run, std::uint64_t seq)
{
    if (run.intact.contains(seq) || run.damaged.contains(seq)) {
        ++run.duplicated;
        return Arrival::Duplicate;
    }
    if (!run.damaged.insert(seq, roomOf(run))) {
        ++run.unkeptDamaged;
        run.estimated = true;
    }
    return Arrival::Damaged;
}

// The run's tally, made for a new run while fewer than RUNS_KEPT are kept.
Run *runOf(Tally &tally, std::uint32_t id)
{
    const auto found = tally.runs.find(id);
    if (found != tally.runs.end())
        return &found->second;
    if (tally.runs.size() >= RUNS_KEPT && id != tally.chosen)
        return nullptr;
    return &tally.runs.emplace(id, Run{}).first->second;
}

}  // namespace

Arrived takeDatagram(std::string_view chunk, Tally &tally)
{
    const auto kind = kindOf(chunk);
    if (!kind) {
        ++tally.foreign;
        return {Arrival::Foreign, {}, {}};
    }
    const auto id = chunk.size() >= kind->header ? fieldOf(chunk, RUN_AT, 8, 16) : std::nullopt;
    const auto seq = id ? fieldOf(chunk, SEQ_AT, 10, 10) : std::nullopt;
    const auto total = seq ? fieldOf(chunk, TOTAL_AT, 10, 10) : std::nullopt;
    if (!total || *seq >= *total) {
        ++tally.damagedUnknown;
        return {Arrival::Damaged, {}, {}};
    }
    const auto run = static_cast<std::uint32_t>(*id);
    Run *r = runOf(tally, run);
    if (r == nullptr) {
        ++tally.linesPastRuns;
        return {Arrival::PastRuns, run, {}};
    }
    const bool timed = kind->header == TIMED_HEADER;
    const auto sent = timed ? fieldOf(chunk, TIME_AT, 16, 16) : std::nullopt;
    if ((timed && !sent) || !intact(chunk, *kind, *total, *r))  // a time that cannot be read, even under a right CRC
        return {placeDamaged(*r, *seq), run, {}};
    r->count = *total;
    const Arrival what = placeIntact(*r, *seq);
    return {what, run, sent ? std::optional<std::int64_t>(static_cast<std::int64_t>(*sent)) : std::nullopt};
}

void take(std::string_view line, Tally &tally)
{
    if (line.starts_with(LINE_START))  // other lines are not datagrams
        takeDatagram(line.substr(LINE_START.size()), tally);
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

bool runWhole(const Figures &f)
{
    return f.known && !f.estimated && f.missing == 0 && f.duplicated == 0 && f.damaged == 0;
}

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

namespace {

void printRunName(std::FILE *out, std::uint32_t id, const Figures &f)
{
    fprintf(out, "run %08" PRIx32, id);
    if (f.estimated)
        fprintf(out, " (an estimate: more than %zu ranges)", RANGES_KEPT);
}

void printMissingJson(std::FILE *out, const Run &run)
{
    fprintf(out, "[");
    const char *comma = "";
    forEachMissing(run, [&](std::uint64_t first, std::uint64_t last) {
        fprintf(out, "%s[%" PRIu64 ",%" PRIu64 "]", comma, first, last);
        comma = ",";
        return true;
    });
    fprintf(out, "]");
}

}  // namespace

void reportText(std::FILE *out, const Tally &tally)
{
    for (const auto &[id, r] : tally.runs) {
        const Figures f = figuresOf(r);
        printRunName(out, id, f);
        if (!f.known) {
            fprintf(out,
                    ": expected unknown, intact %" PRIu64 ", missing unknown, duplicated %" PRIu64
                    ", out of order %" PRIu64 ", damaged %" PRIu64 "\n",
                    f.intact, f.duplicated, f.outOfOrder, f.damaged);
            continue;
        }
        fprintf(out,
                ": expected %" PRIu64 ", intact %" PRIu64 ", missing %" PRIu64 ", duplicated %" PRIu64
                ", out of order %" PRIu64 ", damaged %" PRIu64 "\n",
                f.expected, f.intact, f.missing, f.duplicated, f.outOfOrder, f.damaged);
        if (f.missing == 0 || f.estimated)  // the ranges kept would show unkept numbers as missing
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
        fprintf(out, "%s%s", comma, runJson(id, r).c_str());
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

// Written through a stream in memory, so that the file report and frandle's own are one text.
std::string runJson(std::uint32_t id, const Run &r)
{
    char *text = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&text, &size);
    if (out == nullptr)
        throw std::bad_alloc();
    const Figures f = figuresOf(r);
    fprintf(out, "{\"run\":\"%08" PRIx32 "\"", id);
    if (f.known) {
        fprintf(out, ",\"expected\":%" PRIu64 ",\"intact\":%" PRIu64 ",\"missing\":%" PRIu64 ",\"missing_ranges\":",
                f.expected, f.intact, f.missing);
        if (f.estimated)
            fprintf(out, "null");  // the ranges kept would show unkept numbers as missing
        else
            printMissingJson(out, r);
    } else {
        fprintf(out, ",\"expected\":null,\"intact\":%" PRIu64 ",\"missing\":null,\"missing_ranges\":null", f.intact);
    }
    fprintf(out, ",\"duplicated\":%" PRIu64 ",\"out_of_order\":%" PRIu64 ",\"damaged\":%" PRIu64 ",\"estimated\":%s}",
            f.duplicated, f.outOfOrder, f.damaged, f.estimated ? "true" : "false");
    std::fclose(out);
    std::string json(text, size);
    std::free(text);
    return json;
}

}  // namespace probe
