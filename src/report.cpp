// Reports on standard error: what was sent and received, when a run ends and every so often,
// and a status line redrawn while it goes on. Never on standard output, where the lines go.
#include "report.hpp"

#include "datagram_line.hpp"

#include <unistd.h>

#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

namespace {

constexpr double STATUS_EVERY = 0.25;  // seconds: a few times a second is enough to read

bool errorIsTerminal()
{
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    return terminal;
}

// A report's line, through the run's status line where it has one.
void emit(const Reporting &reports, const std::string &line, AfterLine after = AfterLine::StatusCleared)
{
    if (reports.status != nullptr)
        reports.status->write(line, after);
    else
        fputs(line.c_str(), stderr);
}

std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char *format, ...)
{
    va_list values;
    va_start(values, format);
    va_list again;
    va_copy(again, values);
    const int length = vsnprintf(nullptr, 0, format, values);
    va_end(values);
    std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.pop_back();
    return text;
}

// Per second, over `seconds`; nothing over no time at all.
std::optional<double> perSecond(double amount, double seconds)
{
    if (!(seconds > 0))
        return std::nullopt;
    return amount / seconds;
}

double bits(std::uint64_t bytes) { return static_cast<double>(bytes) * 8; }

}  // namespace

double secondsNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

timespec durationOf(double seconds)
{
    const double whole = std::floor(std::max(seconds, 0.0));
    return {static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
}

bool reporting(const Reporting &reports)
{
    return reports.when == Reports::Always || (reports.when == Reports::OnATerminal && errorIsTerminal());
}

bool StatusLine::due(const Reporting &reports)
{
    if (reports.when == Reports::Never || reports.format == ReportFormat::Json || !errorIsTerminal())
        return false;
    const std::lock_guard hold(lock_);
    const double now = secondsNow();
    if (now - drawnAt_ < STATUS_EVERY)
        return false;
    drawnAt_ = now;
    return true;
}

void StatusLine::draw(const char *format, ...)
{
    const std::lock_guard hold(lock_);
    va_list values;
    va_start(values, format);
    vsnprintf(text_.data(), text_.size(), format, values);
    va_end(values);
    fprintf(stderr, "\r%s\033[K", text_.data());
    onScreen_ = true;
}

void StatusLine::clear()
{
    const std::lock_guard hold(lock_);
    clearHeld();
}

void StatusLine::write(const std::string &line, AfterLine after)
{
    const std::lock_guard hold(lock_);
    const bool shown = onScreen_;
    clearHeld();
    fputs(line.c_str(), stderr);
    if (shown && after == AfterLine::StatusRedrawn) {
        fprintf(stderr, "\r%s\033[K", text_.data());
        onScreen_ = true;
    }
}

void StatusLine::clearHeld()
{
    if (onScreen_)
        fputs("\r\033[K", stderr);
    onScreen_ = false;
}

std::string jsonString(std::string_view text)
{
    std::string quoted = "\"";
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char byte = bytes[i];
        char32_t point = 0;
        if (byte == '"' || byte == '\\') {
            quoted += {'\\', static_cast<char>(byte)};
        } else if (byte == '\n') {
            quoted += "\\n";
        } else if (byte == '\t') {
            quoted += "\\t";
        } else if (byte == '\r') {
            quoted += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            quoted += formatted("\\u%04x", byte);
        } else if (byte < 0x80) {
            quoted += static_cast<char>(byte);
        } else if (const std::size_t sequence = utf8Sequence(bytes + i, text.size() - i, point); sequence > 0) {
            quoted.append(text.substr(i, sequence));
            i += sequence;
            continue;
        } else {
            quoted += "\\ufffd";
        }
        ++i;
    }
    return quoted + "\"";
}

JsonLine::JsonLine(std::string_view report) : text_("{\"report\":" + jsonString(report)) {}

JsonLine &JsonLine::field(std::string_view name, std::string_view value)
{
    if (text_.size() > 1)
        text_ += ",";
    text_ += jsonString(name);
    text_ += ":";
    text_ += value;
    return *this;
}

JsonLine &JsonLine::count(std::string_view name, std::uint64_t value) { return field(name, std::to_string(value)); }
JsonLine &JsonLine::count(std::string_view name, std::int64_t value) { return field(name, std::to_string(value)); }
JsonLine &JsonLine::number(std::string_view name, double value)
{
    return field(name, std::isfinite(value) ? formatted("%.6f", value) : "null");
}
JsonLine &JsonLine::flag(std::string_view name, bool value) { return field(name, value ? "true" : "false"); }
JsonLine &JsonLine::text(std::string_view name, std::string_view value) { return field(name, jsonString(value)); }
JsonLine &JsonLine::json(std::string_view name, std::string_view value) { return field(name, value); }
std::string JsonLine::object() const { return text_ + "}"; }
std::string JsonLine::line() const { return object() + "\n"; }

namespace {

// A rate as text, or as nothing where no time passed.
std::string megabits(std::optional<double> bitsPerSecond)
{
    return bitsPerSecond ? formatted("%.3f Mbit/s", *bitsPerSecond / 1e6) : "no time to measure a rate in";
}

double orNull(std::optional<double> value) { return value.value_or(NAN); }

}  // namespace

namespace {

std::string queueDropsText(QueueDrops dropped)
{
    return formatted("%s%" PRIu64 "%s", dropped.atLeast ? "at least " : "", dropped.datagrams,
                     dropped.atLeast ? " (it counts refused blocks)" : "");
}

}  // namespace

void reportSending(const Reporting &reports, const SentSoFar &sent, std::uint32_t pathMtu)
{
    if (!reporting(reports))
        return;
    const auto rate = perSecond(bits(sent.bytes), sent.seconds);
    const QueueDrops dropped = sent.queueDrops;
    if (reports.format == ReportFormat::Json)
        return emit(reports, JsonLine("sent")
                                 .count("datagrams", sent.datagrams)
                                 .count("bytes", sent.bytes)
                                 .number("seconds", sent.seconds)
                                 .number("handed_to_kernel_bits_per_second", orNull(rate))
                                 .count("dropped_by_host_queue", dropped.datagrams)
                                 .flag("dropped_by_host_queue_at_least", dropped.atLeast)
                                 .count("refused_too_big", sent.refusedTooBig)
                                 .json("path_mtu", pathMtu > 0 ? std::to_string(pathMtu) : "null")
                                 .line());
    std::string text = formatted("sent %" PRId64 " datagram%s, %" PRIu64 " bytes, in %.3f s: %s handed to the kernel\n",
                                 sent.datagrams, sent.datagrams == 1 ? "" : "s", sent.bytes, sent.seconds,
                                 megabits(rate).c_str());
    if (dropped.datagrams > 0)
        text += "dropped by this host's queue: " + queueDropsText(dropped) + "\n";
    if (sent.refusedTooBig > 0)
        text += formatted("refused as larger than the path MTU (%" PRIu32 "): %" PRIu64 "\n", pathMtu, sent.refusedTooBig);
    emit(reports, text);
}

void reportMove(const Reporting &reports, std::int64_t datagramsBefore, int error, int routeMtu)
{
    if (!reporting(reports))
        return;
    if (reports.format == ReportFormat::Json) {
        JsonLine line("offload-refused");
        line.count("datagrams_before", datagramsBefore).text("error", strerror(error));
        if (routeMtu > 0)
            line.count("route_mtu", std::int64_t{routeMtu});
        return emit(reports, line.line());
    }
    std::string text = formatted("sending: the kernel refused to cut a block after %" PRId64 " datagrams (%s); the "
                                 "rest goes one packet a datagram", datagramsBefore, strerror(error));
    if (routeMtu > 0)
        text += formatted("; the route's MTU is now %d", routeMtu);
    emit(reports, text + "\n");
}

void reportProbeTime(const Reporting &reports, double asked, double took)
{
    constexpr double BURST = 0.002;  // a pacing burst is about a millisecond: within it, on time
    if (!reporting(reports) || took <= asked + BURST)
        return;
    if (reports.format == ReportFormat::Json)
        return emit(reports, JsonLine("probe-time").number("seconds_asked", asked).number("seconds_taken", took).line());
    emit(reports, formatted("the probe took %.3f s, %.3f s longer than -t %.3f: the rate was more than the sending could keep\n",
                            took, took - asked, asked));
}

void reportRouteMtu(const Reporting &reports, int before, int after)
{
    if (!reporting(reports) || before == after)
        return;
    if (reports.format == ReportFormat::Json)
        return emit(reports, JsonLine("route-mtu-changed").count("before", std::int64_t{before}).count("after", std::int64_t{after}).line());
    emit(reports, formatted("the route's MTU changed while sending, from %d to %d\n", before, after));
}

void reportAnswers(const Reporting &reports, const Answers &answers, std::optional<std::uint64_t> arrivedAtSendingPort)
{
    if (!reporting(reports))
        return;
    const std::vector<AnswerTally> tallies = answers.tallies();
    if (reports.format == ReportFormat::Json) {
        std::string list = "[";
        for (const AnswerTally &tally : tallies) {
            JsonLine each;
            each.text("kind", answerKindName(tally.kind));
            if (tally.mtu > 0)
                each.count("mtu", std::uint64_t{tally.mtu});
            each.text("from", tally.reporter).count("times", tally.times);
            if (list.size() > 1)  // appended apart: GCC 12 at -O2 takes "," + std::string for an overlapping copy
                list += ',';
            list += each.object();
        }
        JsonLine line("answers");
        line.count("total", answers.total()).json("answers", list + "]");
        if (arrivedAtSendingPort)
            line.count("arrived_at_sending_port", *arrivedAtSendingPort);
        return emit(reports, line.line());
    }
    std::string text = tallies.empty() ? "the network answered nothing\n" : "";
    for (const AnswerTally &tally : tallies)
        text += "the network answered: " + answerLine(tally) + "\n";
    if (arrivedAtSendingPort.value_or(0) > 0)
        text += formatted("datagrams that arrived at the sending port: %" PRIu64 "\n", *arrivedAtSendingPort);
    emit(reports, text);
}

Drops dropsOf(std::uint64_t counted, Datagrams datagrams, const Received &received)
{
    if (datagrams == Datagrams::OnePacketEach || counted == 0)
        return {counted, false};
    const double each = received.receives > 0 ? static_cast<double>(received.datagrams) / static_cast<double>(received.receives) : 1;
    return {static_cast<std::uint64_t>(std::llround(static_cast<double>(counted) * each)), true};
}

namespace {

// A count and its noun, which is singular for one: "1 sender", "2 senders".
std::string counted(std::uint64_t count, const char *noun)
{
    return formatted("%" PRIu64 " %s%s", count, noun, count == 1 ? "" : "s");
}

}  // namespace

namespace {

// The DSCP values seen, as JSON: an object from value to count.
std::string dscpObject(const std::array<std::uint64_t, 64> &dscp)
{
    JsonLine object;
    for (std::size_t value = 0; value < dscp.size(); ++value)
        if (dscp[value] > 0)
            object.count(std::to_string(value), dscp[value]);
    return object.object();
}

// A line for each DSCP value seen, by name where it has one: "dscp ef: 752".
std::string dscpLines(const std::array<std::uint64_t, 64> &dscp)
{
    std::string lines;
    for (std::size_t value = 0; value < dscp.size(); ++value)
        if (dscp[value] > 0)
            lines += "dscp " + dscpName(value) + ": " + std::to_string(dscp[value]) + "\n";
    return lines;
}

}  // namespace

std::string dscpName(std::size_t value)
{
    for (const DscpName &named : DSCP_NAMES)
        if (static_cast<std::size_t>(named.value) == value)
            return named.name;
    return std::to_string(value);
}

void reportReceiving(const Reporting &reports, const Received &received, Drops dropped)
{
    if (!reporting(reports))
        return;
    const double seconds = received.last - received.first;
    const auto datagramRate = perSecond(static_cast<double>(received.datagrams), seconds);
    const auto bitRate = perSecond(bits(received.bytes), seconds);
    if (reports.format == ReportFormat::Json)
        return emit(reports, JsonLine("received")
                        .count("datagrams", received.datagrams)
                        .count("bytes", received.bytes)
                        .count("senders", received.senders)
                        .flag("senders_estimated", received.sendersEstimated)
                        .number("seconds", seconds)
                        .number("datagrams_per_second", orNull(datagramRate))
                        .number("bits_per_second", orNull(bitRate))
                        .count("dropped", dropped.datagrams)
                        .flag("dropped_estimated", dropped.estimated)
                        .count("cut", received.cut)
                        .count("cut_to", std::uint64_t{received.takeMost})
                        .json("dscp", dscpObject(received.dscp))
                        .line());
    const std::string arriving =
        datagramRate ? formatted(", arriving at %.1f datagrams/s and %s on average", *datagramRate, megabits(bitRate).c_str())
                     : "";
    emit(reports, formatted("received %s, %s, from %s%s%s, in %.3f s%s; dropped by this socket, its buffer full: %s%" PRIu64
                   "%s; cut to %s: %" PRIu64 "\n",
                   counted(received.datagrams, "datagram").c_str(), counted(received.bytes, "byte").c_str(),
                   received.sendersEstimated ? "about " : "", counted(received.senders, "sender").c_str(),
                   received.sendersEstimated ? " (an estimate)" : "", seconds, arriving.c_str(),
                   dropped.estimated ? "about " : "", dropped.datagrams,
                   dropped.estimated ? " (an estimate: it counts blocks of datagrams)" : "",
                   counted(received.takeMost, "byte").c_str(), received.cut) + dscpLines(received.dscp));
}

double nextOnGrid(double due, double every, double now)
{
    const double next = due + std::max(1.0, std::ceil((now - due) / every)) * every;
    return next > now ? next : next + every;
}

std::string sentInterval(ReportFormat format, const SentSoFar &before, const SentSoFar &now)
{
    const std::int64_t datagrams = now.datagrams - before.datagrams;
    const std::uint64_t bytes = now.bytes - before.bytes;
    const std::uint64_t answers = now.answers - before.answers;
    const QueueDrops dropped{now.queueDrops.datagrams - before.queueDrops.datagrams, now.queueDrops.atLeast};
    const auto rate = perSecond(bits(bytes), now.seconds - before.seconds);
    const auto totalRate = perSecond(bits(now.bytes), now.seconds);
    if (format == ReportFormat::Json)
        return JsonLine("interval-sent")
            .number("start", before.seconds)
            .number("end", now.seconds)
            .count("datagrams", datagrams)
            .count("bytes", bytes)
            .number("handed_to_kernel_bits_per_second", orNull(rate))
            .count("answers", answers)
            .count("dropped_by_host_queue", dropped.datagrams)
            .count("total_datagrams", now.datagrams)
            .count("total_bytes", now.bytes)
            .number("total_handed_to_kernel_bits_per_second", orNull(totalRate))
            .count("total_answers", now.answers)
            .count("total_dropped_by_host_queue", now.queueDrops.datagrams)
            .flag("dropped_by_host_queue_at_least", now.queueDrops.atLeast)
            .line();
    const std::string drops = now.queueDrops.datagrams == 0 ? ""
                              : "; dropped by this host's queue: " + queueDropsText(dropped) + ", in all " +
                                    queueDropsText(now.queueDrops);
    return formatted("sent in %.3f-%.3f s: %" PRId64 " datagrams, %" PRIu64 " bytes, %s handed to the kernel, "
                     "the network answered %" PRIu64 " time%s; in all: %" PRId64 " datagrams, %" PRIu64 " bytes, %s, "
                     "answered %" PRIu64 " time%s%s\n",
                     before.seconds, now.seconds, datagrams, bytes, megabits(rate).c_str(), answers,
                     answers == 1 ? "" : "s", now.datagrams, now.bytes, megabits(totalRate).c_str(), now.answers,
                     now.answers == 1 ? "" : "s", drops.c_str());
}

namespace {

std::string datagramsPerSecond(std::optional<double> rate)
{
    return rate ? formatted("%.1f datagrams/s", *rate) : "no time to measure a rate in";
}

std::string dropsText(Drops dropped)
{
    return formatted("%s%" PRIu64 "%s", dropped.estimated ? "about " : "", dropped.datagrams,
                     dropped.estimated ? " (an estimate)" : "");
}

}  // namespace

std::string receivedInterval(ReportFormat format, const ReceivedSoFar &before, const ReceivedSoFar &now)
{
    const std::uint64_t datagrams = now.datagrams - before.datagrams;
    const std::uint64_t bytes = now.bytes - before.bytes;
    const double seconds = now.seconds - before.seconds;
    // An estimate may fall as the average block it counts by changes: never below none.
    const Drops dropped{now.dropped.datagrams - std::min(before.dropped.datagrams, now.dropped.datagrams),
                        now.dropped.estimated};
    const auto datagramRate = perSecond(static_cast<double>(datagrams), seconds);
    const auto bitRate = perSecond(bits(bytes), seconds);
    const auto totalDatagramRate = perSecond(static_cast<double>(now.datagrams), now.seconds);
    const auto totalBitRate = perSecond(bits(now.bytes), now.seconds);
    if (format == ReportFormat::Json)
        return JsonLine("interval-received")
            .number("start", before.seconds)
            .number("end", now.seconds)
            .count("datagrams", datagrams)
            .count("bytes", bytes)
            .number("datagrams_per_second", orNull(datagramRate))
            .number("bits_per_second", orNull(bitRate))
            .count("dropped", dropped.datagrams)
            .flag("dropped_estimated", dropped.estimated)
            .count("cut", now.cut - before.cut)
            .count("total_datagrams", now.datagrams)
            .count("total_bytes", now.bytes)
            .number("total_datagrams_per_second", orNull(totalDatagramRate))
            .number("total_bits_per_second", orNull(totalBitRate))
            .count("total_dropped", now.dropped.datagrams)
            .count("total_cut", now.cut)
            .line();
    return formatted("received in %.3f-%.3f s: %s, %s, %s, %s, dropped by this socket %s, cut %" PRIu64 "; in all: "
                     "%s, %s, %s, %s, dropped %s, cut %" PRIu64 "\n",
                     before.seconds, now.seconds, counted(datagrams, "datagram").c_str(), counted(bytes, "byte").c_str(),
                     datagramsPerSecond(datagramRate).c_str(), megabits(bitRate).c_str(), dropsText(dropped).c_str(),
                     now.cut - before.cut, counted(now.datagrams, "datagram").c_str(),
                     counted(now.bytes, "byte").c_str(), datagramsPerSecond(totalDatagramRate).c_str(),
                     megabits(totalBitRate).c_str(), dropsText(now.dropped).c_str(), now.cut);
}

namespace {

// The percentiles the round-trip reports give, with their names in text and in JSON.
struct Percentile {
    const char *text;
    const char *json;
    double fraction;
};
constexpr Percentile ROUND_TRIP_PERCENTILES[] = {
    {"min", "min", 0}, {"median", "median", 0.5}, {"p90", "p90", 0.9}, {"p99", "p99", 0.99},
    {"p99.9", "p999", 0.999}, {"max", "max", 1},
};

double secondsOf(std::optional<std::int64_t> nanoseconds) { return nanoseconds ? static_cast<double>(*nanoseconds) / 1e9 : NAN; }

double variationOf(const RoundTripFigures &figures)
{
    return figures.variations > 0 ? static_cast<double>(figures.variationSum) / static_cast<double>(figures.variations) : NAN;
}

JsonLine roundTripsJson(std::string_view report, const RoundTripFigures &figures)
{
    JsonLine line(report);
    line.count("timed", figures.timed)
        .count("ambiguous", figures.ambiguous)
        .count("unmatched", figures.unmatched)
        .count("duplicates", figures.duplicates)
        .count("timed_by_clock", figures.byClock);
    for (const Percentile &p : ROUND_TRIP_PERCENTILES)
        line.number(p.json, secondsOf(figures.delays.percentile(p.fraction)));
    return line.number("mean", figures.delays.mean() / 1e9)
        .number("rtt_variation", variationOf(figures) / 1e9);
}

}  // namespace

std::string roundTripsText(const RoundTripFigures &figures)
{
    std::string text = formatted("%" PRIu64 " timed (%" PRIu64 " ambiguous, %" PRIu64 " unmatched, %" PRIu64 " duplicates)",
                                 figures.timed, figures.ambiguous, figures.unmatched, figures.duplicates);
    if (figures.timed == 0)
        return text;
    for (const Percentile &p : ROUND_TRIP_PERCENTILES)
        text += formatted(", %s %.3f", p.text, secondsOf(figures.delays.percentile(p.fraction)) * 1e3);
    text += formatted(", mean %.3f", figures.delays.mean() / 1e6);
    if (figures.variations > 0)
        text += formatted(", variation %.3f", variationOf(figures) / 1e6);
    return text + " ms";
}

void reportRoundTrips(const Reporting &reports, const RoundTripFigures &figures, Stamps sentAs)
{
    if (!reporting(reports))
        return;
    if (reports.format == ReportFormat::Json)
        return emit(reports, roundTripsJson("round-trips", figures)
                                 .text("timed_from", sentAs == Stamps::EachBlock ? "block" : "datagram")
                                 .line());
    const bool histogram = reports.when == Reports::Always || errorIsTerminal();
    const char *timed = sentAs == Stamps::EachBlock ? " (-O: each timed from the send of its block)" : "";
    const std::string byClock =
        figures.byClock > 0 ? formatted("of those, timed from the clock after the send call, the kernel giving no stamp: %" PRIu64 "\n",
                                        figures.byClock)
                            : "";
    emit(reports, "round trips" + std::string(timed) + ": " + roundTripsText(figures) + "\n" + byClock +
                      (histogram && figures.timed > 0 ? histogramRows(figures.delays) : ""));
}

void reportRoundTripInterval(const Reporting &reports, const RoundTripFigures &figures, double start, double end)
{
    if (!reporting(reports))
        return;
    if (reports.format == ReportFormat::Json)
        return emit(reports, roundTripsJson("interval-round-trips", figures).number("start", start).number("end", end).line(),
                    AfterLine::StatusRedrawn);
    emit(reports, formatted("round trips in %.3f-%.3f s: %s\n", start, end, roundTripsText(figures).c_str()),
         AfterLine::StatusRedrawn);
}

namespace {

// Why datagrams were not echoed, as the reports name them.
struct NotEchoedName {
    const char *text;
    const char *json;
};
constexpr NotEchoedName NOT_ECHOED_NAMES[NOT_ECHOED_KINDS] = {
    {"from its own port", "from_own_port"},
    {"from ports below 1024", "from_service_port"},
    {"from port 0", "from_port_zero"},
    {"from broadcast, multicast or unspecified addresses", "from_group_address"},
    {"beyond the rate of -b", "over_rate"},
};

std::string errorName(int error)
{
    const char *name = error != 0 ? strerrorname_np(error) : nullptr;
    return name != nullptr ? name : "other";
}

}  // namespace

std::string echoedText(const Echoed &echoed)
{
    std::string text = "echoed " + counted(echoed.datagrams, "datagram");
    const char *separator = "; not echoed: ";
    for (std::size_t kind = 0; kind < NOT_ECHOED_KINDS; ++kind) {
        if (echoed.notEchoed[kind] == 0)
            continue;
        text += formatted("%s%" PRIu64 " %s", separator, echoed.notEchoed[kind], NOT_ECHOED_NAMES[kind].text);
        separator = ", ";
    }
    separator = "; refused by this host: ";
    for (const Echoed::Refusals &refused : echoed.refusedByHost) {
        if (refused.datagrams == 0)
            continue;
        text += formatted("%s%" PRIu64 " (%s)", separator, refused.datagrams,
                          refused.error != 0 ? strerror(refused.error) : "other errors");
        separator = ", ";
    }
    return text;
}

void reportEchoed(const Reporting &reports, const Echoed &echoed)
{
    if (!reporting(reports))
        return;
    if (reports.format == ReportFormat::Text)
        return emit(reports, echoedText(echoed) + "\n");
    JsonLine line("echoed");
    line.count("datagrams", echoed.datagrams);
    for (std::size_t kind = 0; kind < NOT_ECHOED_KINDS; ++kind)
        line.count(NOT_ECHOED_NAMES[kind].json, echoed.notEchoed[kind]);
    JsonLine refused;
    for (const Echoed::Refusals &r : echoed.refusedByHost)
        if (r.datagrams > 0)
            refused.count(errorName(r.error), r.datagrams);
    emit(reports, line.json("refused_by_host", refused.object()).line());
}

std::string probeRunText(std::uint32_t run, const probe::Figures &f, const OneWay *oneWay)
{
    std::string text = formatted("run %08x", run);
    if (f.estimated)  // as frandle-probe check labels it
        text += formatted(" (an estimate: more than %zu ranges)", probe::RANGES_KEPT);
    text += ": ";
    text += f.known ? formatted("expected %" PRIu64 ", ", f.expected) : "expected unknown, ";
    text += formatted("intact %" PRIu64 ", ", f.intact);
    text += f.known ? formatted("missing %" PRIu64 ", ", f.missing) : "missing unknown, ";
    text += formatted("duplicated %" PRIu64 ", out of order %" PRIu64 ", damaged %" PRIu64, f.duplicated, f.outOfOrder,
                      f.damaged);
    if (oneWay == nullptr || oneWay->timed < 2)
        return text;
    text += formatted("; jitter %.3f ms", oneWay->jitter / 1e6);
    if (oneWay->above)
        text += formatted(", one-way delay above the least seen (the clocks of the two ends are not one): median %.3f, "
                          "p99 %.3f, max %.3f ms",
                          static_cast<double>(*oneWay->aboveLeast(0.5)) / 1e6,
                          static_cast<double>(*oneWay->aboveLeast(0.99)) / 1e6,
                          static_cast<double>(*oneWay->aboveLeast(1)) / 1e6);
    return text;
}

std::uint64_t missingSoFar(const probe::Tally &tally)
{
    std::uint64_t missing = 0;
    for (const auto &[id, run] : tally.runs) {
        if (tally.chosen && id != *tally.chosen)
            continue;
        const probe::Figures f = probe::figuresOf(run);
        const std::uint64_t seen = run.highest + 1;
        missing += seen > f.intact + f.damaged ? seen - f.intact - f.damaged : 0;
    }
    return missing;
}

void reportProbes(const Reporting &reports, const LiveProbes &probes)
{
    if (!reporting(reports) || !probes.any())
        return;
    const probe::Tally &tally = probes.tally();
    std::string lines;
    for (const auto &[id, kept] : tally.runs) {
        if (tally.chosen && id != *tally.chosen)
            continue;
        const probe::Figures f = probe::figuresOf(kept);
        const OneWay *w = probes.oneWayOf(id);
        if (reports.format == ReportFormat::Text) {
            lines += "probe " + probeRunText(id, f, w) + "\n";
            continue;
        }
        const auto delay = [&](double fraction) {
            return w != nullptr && w->above ? static_cast<double>(*w->aboveLeast(fraction)) / 1e9 : NAN;
        };
        // The check's own object of the run, with the times after its fields.
        const std::string run = probe::runJson(id, kept);
        const std::string times = JsonLine()
                                      .number("jitter", w != nullptr && w->timed >= 2 ? w->jitter / 1e9 : NAN)
                                      .number("delay_median", delay(0.5))
                                      .number("delay_p99", delay(0.99))
                                      .number("delay_max", delay(1))
                                      .object();
        const std::string head = JsonLine("probe").object();
        lines += head.substr(0, head.size() - 1) + "," + run.substr(1, run.size() - 2) + "," + times.substr(1) + "\n";
    }
    emit(reports, lines);
}

void reportProbeInterval(const Reporting &reports, const ProbeCounts &c, std::uint64_t missing, double jitter,
                         double start, double end)
{
    if (!reporting(reports))
        return;
    if (reports.format == ReportFormat::Json)
        return emit(reports,
                    JsonLine("interval-probe")
                        .number("start", start)
                        .number("end", end)
                        .count("intact", c.intact)
                        .count("duplicated", c.duplicated)
                        .count("out_of_order", c.outOfOrder)
                        .count("damaged", c.damaged)
                        .count("missing_so_far", missing)
                        .number("jitter", jitter / 1e9)
                        .line(),
                    AfterLine::StatusRedrawn);
    emit(reports,
         formatted("probe chunks in %.3f-%.3f s: intact %" PRIu64 ", duplicated %" PRIu64 ", out of order %" PRIu64
                   ", damaged %" PRIu64 "; missing so far, behind the highest number seen: %" PRIu64 "%s\n",
                   start, end, c.intact, c.duplicated, c.outOfOrder, c.damaged, missing,
                   std::isnan(jitter) ? "" : formatted("; jitter %.3f ms", jitter / 1e6).c_str()),
         AfterLine::StatusRedrawn);
}

void reportInterval(const Reporting &reports, const std::string &line)
{
    if (reporting(reports))
        emit(reports, line, AfterLine::StatusRedrawn);
}
