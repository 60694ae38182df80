// Reports on standard error: what was sent and received, when a run ends, and a status
// line redrawn while it goes on. Never on standard output, where the lines go.
#include "report.hpp"

#include "line.hpp"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

std::mutex errorOutput;  // in L mode the sender and the listener both write here
bool statusOnScreen = false;
double statusDrawnAt = -1;
constexpr double STATUS_EVERY = 0.25;  // seconds: a few times a second is enough to read

bool errorIsTerminal()
{
    static const bool terminal = isatty(STDERR_FILENO) != 0;
    return terminal;
}

void clearStatusHeld()
{
    if (statusOnScreen)
        fputs("\r\033[K", stderr);
    statusOnScreen = false;
}

}  // namespace

double secondsNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool reporting(Reports reports)
{
    return reports == Reports::Always || (reports == Reports::OnATerminal && errorIsTerminal());
}

bool statusDue(Reports reports)
{
    if (reports == Reports::Never || !errorIsTerminal())
        return false;
    const double now = secondsNow();
    if (now - statusDrawnAt < STATUS_EVERY)
        return false;
    statusDrawnAt = now;
    return true;
}

void drawStatus(const char *format, ...)
{
    char text[160];
    va_list values;
    va_start(values, format);
    vsnprintf(text, sizeof text, format, values);
    va_end(values);
    const std::lock_guard hold(errorOutput);
    fprintf(stderr, "\r%s\033[K", text);
    statusOnScreen = true;
}

void clearStatus()
{
    const std::lock_guard hold(errorOutput);
    clearStatusHeld();
}

void reportSending(Reports reports, std::int64_t datagrams, std::uint64_t bytes, double seconds)
{
    if (!reporting(reports))
        return;
    const std::lock_guard hold(errorOutput);
    clearStatusHeld();
    fprintf(stderr, "sent %" PRId64 " datagrams, %" PRIu64 " bytes, in %.3f s: %.3f Mbit/s\n", datagrams, bytes, seconds,
            seconds > 0 ? static_cast<double>(bytes) * 8 / seconds / 1e6 : 0.0);
}

void reportMove(Reports reports, std::int64_t datagramsBefore, int error, int routeMtu)
{
    if (!reporting(reports))
        return;
    const std::lock_guard hold(errorOutput);
    clearStatusHeld();
    fprintf(stderr, "sending: the kernel refused to cut a block after %" PRId64 " datagrams (%s); the rest goes one "
            "packet a datagram", datagramsBefore, strerror(error));
    if (routeMtu > 0)
        fprintf(stderr, "; the route's MTU is now %d", routeMtu);
    fputc('\n', stderr);
}

void reportRouteMtu(Reports reports, int before, int after)
{
    if (!reporting(reports) || before == after)
        return;
    const std::lock_guard hold(errorOutput);
    clearStatusHeld();
    fprintf(stderr, "the route's MTU changed while sending, from %d to %d\n", before, after);
}

void reportAnswers(Reports reports, const std::vector<std::string> &lines)
{
    if (!reporting(reports))
        return;
    const std::lock_guard hold(errorOutput);
    clearStatusHeld();
    if (lines.empty())
        fputs("the network answered nothing\n", stderr);
    for (const std::string &line : lines)
        fprintf(stderr, "the network answered: %s\n", line.c_str());
}

Drops dropsOf(std::uint64_t counted, Datagrams datagrams, const Received &received)
{
    if (datagrams == Datagrams::OnePacketEach || counted == 0)
        return {counted, false};
    const double each = received.receives > 0 ? static_cast<double>(received.datagrams) / static_cast<double>(received.receives) : 1;
    return {static_cast<std::uint64_t>(std::llround(static_cast<double>(counted) * each)), true};
}

void reportReceiving(Reports reports, const Received &received, Drops dropped)
{
    if (!reporting(reports))
        return;
    const std::lock_guard hold(errorOutput);
    clearStatusHeld();
    fprintf(stderr,
            "received %" PRIu64 " datagrams, %" PRIu64 " bytes, from %s%" PRIu64 " senders%s, in %.3f s; dropped by this "
            "socket, its buffer full: %s%" PRIu64 "%s; cut to %zu bytes: %" PRIu64 "\n",
            received.datagrams, received.bytes, received.sendersEstimated ? "about " : "", received.senders,
            received.sendersEstimated ? " (an estimate)" : "", received.last - received.first,
            dropped.estimated ? "about " : "", dropped.datagrams,
            dropped.estimated ? " (an estimate: it counts blocks of datagrams)" : "", received.takeMost, received.cut);
}
