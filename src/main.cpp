// Front end: reads the options before the mode letter and the positional arguments, and
// runs the one transfer they ask for.
#include "transfer.hpp"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

static constexpr const char *usage = "usage:frandle S|R|L fileName port [ipAddress] [send size]";

// Reads a number as atoi does, but an out-of-range one saturates instead of being undefined.
static std::int32_t toInt(const char *text)
{
    return static_cast<std::int32_t>(std::clamp(std::strtol(text, nullptr, 10), long{INT32_MIN},
                                                 long{INT32_MAX}));
}

static constexpr const char *help = R"(
Sends a file as UDP datagrams, prints the datagrams that arrive, or both at once.

  S  sends fileName to ipAddress:port from local port 40000, one datagram for each
     chunk of send size bytes (1396 at most and by default), and prints "sending done N"
  R  binds port and prints every datagram that arrives as "rcvd <bytes>", until stopped
  L  sends like S, from local port 30000, and prints every datagram that comes back to
     that port, until stopped

Options, written before the mode letter:
  -b, --bitrate RATE    S, L: send RATE bits of payload a second at most, in bursts of
                        about a millisecond (k, M, G: thousands, millions, billions)
  -w, --wait SECONDS    R, L: end when nothing has arrived for SECONDS (in L, counted
                        from the end of the sending at the earliest)
  -v, --verbose         report what was sent and received on standard error, also when
                        it is not a terminal
  -q, --quiet           no report and no status line, even on a terminal
  -h, --help            this text
  -V, --version         the name and version

The manual: man frandle, and man frandle-probe for checking what arrived.)";

// An option given where it does nothing, or a value that is not one: a reason and the
// usage line, as for any other usage error.
[[noreturn]] static void refuse(const std::string &reason)
{
    fprintf(stderr, "frandle: %s\n", reason.c_str());
    puts(usage);
    exit(-1);
}

// A positive, finite number, with one of the suffixes given (each a power of 1000).
static double positive(const char *text, std::string_view suffixes, const char *what)
{
    char *end = nullptr;
    double value = std::strtod(text, &end);
    const std::string_view rest(end);
    const auto at = suffixes.find(rest.empty() ? '\0' : rest[0]);
    if (end == text || rest.size() > 1 || (!rest.empty() && at == std::string_view::npos))
        refuse(std::string("not ") + what + ": " + text);
    if (!rest.empty())
        value *= std::pow(1000.0, static_cast<double>(at + 1));
    if (!std::isfinite(value) || value <= 0)
        refuse(std::string("not ") + what + ": " + text);
    return value;
}

// Reads the options before the mode letter; returns the index of the first argument after
// them. Nothing after the mode letter is taken for an option.
static int readOptions(int argc, char *argv[])
{
    static const option longOptions[] = {
        {"bitrate", required_argument, nullptr, 'b'}, {"wait", required_argument, nullptr, 'w'},
        {"verbose", no_argument, nullptr, 'v'},       {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the reasons are given here, under the tool's own name
    for (int option; (option = getopt_long(argc, argv, "+:b:w:vqhV", longOptions, nullptr)) != -1;) {
        switch (option) {
        case 'b':
            options.bitsPerSecond = positive(optarg, "kMG", "a rate");
            break;
        case 'w':
            options.idleSeconds = positive(optarg, "", "a number of seconds");
            break;
        case 'v':
            options.report = Options::Report::Always;
            break;
        case 'q':
            options.report = Options::Report::Never;
            break;
        case 'h':
            printf("%s\n%s\n", usage, help + 1);
            exit(0);
        case 'V':
            printf("frandle %s\n", FRANDLE_VERSION);
            exit(0);
        case ':':
            refuse(std::string(argv[optind - 1]) + " needs a value");
        default:
            refuse(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    return optind;
}

// Refuses an option given to a mode that it does nothing in.
static void checkOptionsFit(OperationMode mode)
{
    if (options.bitsPerSecond > 0 && mode == OperationMode::Receive)
        refuse("-b/--bitrate is for S and L mode");
    if (options.idleSeconds > 0 && mode == OperationMode::Send)
        refuse("-w/--wait is for R and L mode");
}

static OperationMode modeOf(char letter)
{
    switch (letter) {
    case 'S':
        return OperationMode::Send;
    case 'R':
        return OperationMode::Receive;
    case 'L':
        return OperationMode::SendAndListen;
    default:
        return OperationMode::None;
    }
}

// A standard descriptor that was closed gets one that takes no writes: otherwise the
// socket would take its number, and lines or failure reports would go into it.
static void holdStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDONLY);  // takes the lowest free number: this one
}

int main(int argc, char *argv[])
{
    holdStandardDescriptors();
    // What follows the options counts as if it were the whole command line.
    const int first = readOptions(argc, argv) - 1;
    argv[first] = argv[0];
    argv += first;
    argc -= first;
    if (argc <= 3) {
        puts(usage);
        return -1;
    }
    const OperationMode mode = modeOf(argv[1][0]);
    if (mode == OperationMode::None)
        printf("invalid mode of operation");
    else
        checkOptionsFit(mode);

    const std::string fileName = argv[2];
    const std::int32_t port = toInt(argv[3]);
    const std::string ipAddress = argc >= 5 ? argv[4] : "";
    if (argc == 6)
        SendSize = toInt(argv[5]);
    const bool sends = mode == OperationMode::Send || mode == OperationMode::SendAndListen;
    if (sends && SendSize < 0) {
        puts(usage);
        return -1;
    }
    SendSize = std::clamp(SendSize, 0, MAX_SEND_SIZE);  // R mode never reads it

    frandle(mode, fileName, port, ipAddress);
    if (mode == OperationMode::None)
        return -1;  // nothing that was asked for was done
    if (mode == OperationMode::SendAndListen)
        pthread_join(recv_thread, nullptr);
    return 0;
}
