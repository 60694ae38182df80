// Reads the command line: options anywhere before "--", then the positional arguments.
#include "options.hpp"

#include "probe_lib.hpp"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

std::int32_t atoiSaturated(const char *text)
{
    return static_cast<std::int32_t>(std::clamp(std::strtol(text, nullptr, 10), long{INT32_MIN}, long{INT32_MAX}));
}

namespace {

constexpr double LOWEST_RATE = 1;        // bits a second
constexpr double HIGHEST_RATE = 1e12;    // beyond it a millisecond's burst is any block: no pacing
constexpr double LONGEST_WAIT = 365 * 24 * 3600.0;

// A decimal number, with a fraction and an exponent if given, and nothing but `suffixes`
// after it: no sign, no hexadecimal, no "inf" or "nan".
std::optional<double> decimalOf(const char *text, std::string_view suffixes, double unit, char &suffix)
{
    const std::string_view all(text);
    if (all.empty() || (std::isdigit(static_cast<unsigned char>(all[0])) == 0 && all[0] != '.'))
        return std::nullopt;
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    const std::string_view rest(end);
    const bool decimal = end == text + std::strspn(text, "0123456789.eE+-");  // not hexadecimal
    if (end == text || !decimal || !std::isfinite(value) || rest.size() > 1 ||
        (!rest.empty() && suffixes.find(rest[0]) == std::string_view::npos))
        return std::nullopt;
    suffix = rest.empty() ? '\0' : rest[0];
    return value * unit;
}

}  // namespace

std::optional<double> rateOf(const char *text)
{
    char suffix = '\0';
    const auto value = decimalOf(text, "kKmMgG", 1, suffix);
    if (!value)
        return std::nullopt;
    const double scale = suffix == '\0' ? 1 : std::tolower(suffix) == 'k' ? 1e3 : std::tolower(suffix) == 'm' ? 1e6 : 1e9;
    const double rate = *value * scale;
    if (!(rate >= LOWEST_RATE && rate <= HIGHEST_RATE))
        return std::nullopt;
    return rate;
}

std::optional<double> secondsOf(const char *text)
{
    char suffix = '\0';
    const auto value = decimalOf(text, "", 1, suffix);
    if (!value || !(*value > 0 && *value <= LONGEST_WAIT))
        return std::nullopt;
    return value;
}

std::optional<double> intervalOf(const char *text)
{
    const auto seconds = secondsOf(text);
    if (!seconds || *seconds < SHORTEST_INTERVAL)
        return std::nullopt;
    return seconds;
}

namespace {

// Digits only, no sign or blank, from `least` to `most`, which has five digits at most.
std::optional<std::int32_t> digitsFrom(const char *text, std::int32_t least, std::int32_t most)
{
    const std::string_view digits(text);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const std::int32_t value = atoiSaturated(text);
    if (value < least || value > most)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::int32_t> localPortOf(const char *text) { return digitsFrom(text, 1, 65535); }

namespace {

// A number in decimal, or in hexadecimal after 0x, from 0 to `most`.
std::optional<int> byteOf(const char *text, int most)
{
    const std::string_view all(text);
    const bool hex = all.size() > 2 && all[0] == '0' && (all[1] == 'x' || all[1] == 'X');
    const std::string_view digits = hex ? all.substr(2) : all;
    const char *allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of(allowed) != std::string_view::npos)
        return std::nullopt;
    const long value = std::strtol(digits.data(), nullptr, hex ? 16 : 10);
    if (value > most)
        return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

std::optional<int> tosOf(const char *text) { return byteOf(text, 255); }

std::optional<int> dscpOf(const char *text)
{
    for (const DscpName &named : DSCP_NAMES)
        if (std::string_view(text) == named.name)
            return named.value << 2;
    const auto value = byteOf(text, 63);
    if (!value)
        return std::nullopt;
    return *value << 2;  // the DSCP is the top six bits of the byte
}

std::optional<int> hopLimitOf(const char *text) { return digitsFrom(text, 1, 255); }

std::optional<std::int32_t> lengthOf(const char *text) { return digitsFrom(text, 1, LARGEST_DATAGRAM); }

std::optional<std::uint64_t> probeSizeOf(const char *text)
{
    const auto size = probe::sizeOf(text);
    if (!size || *size < probe::HEADER)
        return std::nullopt;
    return size;
}

namespace {

OperationMode modeOf(char letter)
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

CommandLine refusal(std::string why)
{
    CommandLine refused;
    refused.asks = CommandLine::Asks::Refusal;
    refused.refusal = std::move(why);
    return refused;
}

// A negative number where a positional argument is due is one (a send size), not an option;
// but -4 and -6 are options, except in the send size's place, where they always were one.
bool looksNegative(const char *argument, std::size_t positionalsSeen)
{
    const std::string_view text(argument);
    if ((text == "-4" || text == "-6") && positionalsSeen != 4)
        return false;
    return text.size() > 1 && text[0] == '-' && std::isdigit(static_cast<unsigned char>(text[1])) != 0;
}

// Whether atoi would read a number at the start (after blanks, with a sign): a port given
// so keeps that reading; any other text is a service name.
bool numberAtStart(const char *text)
{
    const char *at = text + std::strspn(text, " \t\n\v\f\r");
    if (*at == '+' || *at == '-')
        ++at;
    return std::isdigit(static_cast<unsigned char>(*at)) != 0;
}

// An option given to a mode that it does nothing in.
std::optional<std::string> misfit(const Options &options, OperationMode mode)
{
    if (options.bitsPerSecond > 0 && mode == OperationMode::Receive && options.echo == Echo::None)
        return "-b/--bitrate is for S and L mode, and R with -e";
    if (options.echo != Echo::None && mode != OperationMode::Receive)
        return "-e/--echo is for R mode";
    const PathControls none;
    if (mode == OperationMode::Receive && options.path.trafficClass != none.trafficClass)
        return "--tos/--dscp is for S and L mode";
    if (mode == OperationMode::Receive && options.path.hopLimit != none.hopLimit)
        return "--ttl/--hop-limit is for S and L mode";
    if (mode == OperationMode::Receive && options.path.fragments != none.fragments)
        return "--df is for S and L mode";
    if (options.localPort != 0 && mode == OperationMode::Receive)
        return "-p/--local-port is for S and L mode: R binds the port it is given";
    if (options.payload == Payload::Probe && mode == OperationMode::Receive)
        return "--probe is for S and L mode";
    if (options.sendSeconds > 0 && mode == OperationMode::Receive)
        return "-t/--time is for S and L mode";
    if (options.run && mode == OperationMode::Send)
        return "--run is for R and L mode: what arrives";
    if (options.payload == Payload::Probe && options.probeBytes == 0 && !(options.sendSeconds > 0 && options.bitsPerSecond > 0))
        return "--probe needs a SIZE (--probe=SIZE), or -t and -b: each chunk carries the run's count, known before the "
               "first is sent";
    if (options.payload == Payload::Probe && options.probeBytes > 0 && options.sendSeconds > 0)
        return "--probe=SIZE and -t both say how much to send: give one";
    return std::nullopt;
}

}  // namespace

namespace {

// The options that have no letter of their own.
enum LongOnly : int { TOS = 256, DSCP, TTL, DF, PROBE, RUN };

}  // namespace

CommandLine readCommandLine(int argc, char *argv[])
{
    static const option longOptions[] = {
        {"bitrate", required_argument, nullptr, 'b'}, {"wait", required_argument, nullptr, 'w'},
        {"verbose", no_argument, nullptr, 'v'},       {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'V'},
        {"offload", no_argument, nullptr, 'O'},       {"source", required_argument, nullptr, 's'},
        {"local-port", required_argument, nullptr, 'p'},
        {"length", required_argument, nullptr, 'l'},   {"interval", required_argument, nullptr, 'i'},
        {"json", no_argument, nullptr, 'J'},          {"echo", no_argument, nullptr, 'e'},
        {"tos", required_argument, nullptr, TOS},      {"dscp", required_argument, nullptr, DSCP},
        {"ttl", required_argument, nullptr, TTL},      {"hop-limit", required_argument, nullptr, TTL},
        {"df", no_argument, nullptr, DF},
        {"probe", optional_argument, nullptr, PROBE},  {"run", required_argument, nullptr, RUN},
        {"time", required_argument, nullptr, 't'},
        {nullptr, 0, nullptr, 0},
    };
    CommandLine command;
    std::vector<const char *> positional;
    opterr = 0;  // the reasons are given here, under the tool's own name
    optind = 1;
    while (optind < argc) {
        // Options may come anywhere; "--" ends them, and what is not one is positional.
        if (argv[optind][0] != '-' || argv[optind][1] == '\0' || looksNegative(argv[optind], positional.size())) {
            positional.push_back(argv[optind++]);
            continue;
        }
        if (std::string_view(argv[optind]) == "--") {
            positional.insert(positional.end(), argv + optind + 1, argv + argc);
            break;
        }
        const int option = getopt_long(argc, argv, "+:b:w:vqhVO46s:p:l:i:Jet:", longOptions, nullptr);
        switch (option) {
        case -1:
            continue;
        case 'b':
            if (const auto rate = rateOf(optarg))
                command.options.bitsPerSecond = *rate;
            else
                return refusal(std::string("not a rate: ") + optarg);
            break;
        case 'w':
            if (const auto seconds = secondsOf(optarg))
                command.options.idleSeconds = *seconds;
            else
                return refusal(std::string("not a number of seconds: ") + optarg);
            break;
        case 'l':
            if (const auto length = lengthOf(optarg)) {
                command.options.sendMost = *length;
                command.options.takeMost = *length;
            } else {
                return refusal(std::string("not a datagram length from 1 to 65507: ") + optarg);
            }
            break;
        case 'i':
            if (const auto seconds = intervalOf(optarg))
                command.options.reports.everySeconds = *seconds;
            else
                return refusal(std::string("not an interval from 0.001 s to a year: ") + optarg);
            break;
        case 'J':
            command.options.reports.format = ReportFormat::Json;
            break;
        case TOS:
        case DSCP: {
            const auto byte = option == TOS ? tosOf(optarg) : dscpOf(optarg);
            if (!byte)
                return refusal(std::string(option == TOS ? "not a TOS byte from 0 to 255: " : "not a DSCP name or value from 0 to 63: ") + optarg);
            if (command.options.path.trafficClass >= 0)
                return refusal("--tos and --dscp set the same byte: give one of them, once");
            command.options.path.trafficClass = *byte;
            break;
        }
        case TTL:
            if (const auto hops = hopLimitOf(optarg))
                command.options.path.hopLimit = *hops;
            else
                return refusal(std::string("not a TTL or hop limit from 1 to 255: ") + optarg);
            break;
        case DF:
            command.options.path.fragments = Fragments::Refused;
            break;
        case PROBE:
            command.options.payload = Payload::Probe;
            if (optarg == nullptr)
                break;
            if (const auto size = probeSizeOf(optarg))
                command.options.probeBytes = *size;
            else
                return refusal(std::string("not a probe size (bytes, with k, m or g): ") + optarg);
            break;
        case RUN:
            if (const auto run = probe::runNamed(optarg))
                command.options.run = *run;
            else
                return refusal(std::string("not a run (eight hex digits): ") + optarg);
            break;
        case 't':
            if (const auto seconds = secondsOf(optarg))
                command.options.sendSeconds = *seconds;
            else
                return refusal(std::string("not a number of seconds: ") + optarg);
            break;
        case 'e':
            command.options.echo = Echo::EveryDatagram;
            break;
        case 'v':
            command.options.reports.when = Reports::Always;
            break;
        case 'q':
            command.options.reports.when = Reports::Never;
            break;
        case 'O':
            command.options.datagrams = Datagrams::Offloaded;
            break;
        case '4':
            command.options.family = Family::IPv4;
            break;
        case '6':
            command.options.family = Family::IPv6;
            break;
        case 's':
            command.options.source = optarg;
            break;
        case 'p':
            if (const auto port = localPortOf(optarg))
                command.options.localPort = *port;
            else
                return refusal(std::string("not a local port: ") + optarg);
            break;
        case 'h':
            command.asks = CommandLine::Asks::Help;
            return command;
        case 'V':
            command.asks = CommandLine::Asks::Version;
            return command;
        case ':':
            return refusal(std::string(argv[optind - 1]) + " needs a value");
        default:
            return refusal(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    // Interval and JSON reports are asked for to be read, on a terminal or not, unless -q.
    Reporting &reports = command.options.reports;
    if ((reports.everySeconds > 0 || reports.format == ReportFormat::Json) && reports.when == Reports::OnATerminal)
        reports.when = Reports::Always;
    if (positional.size() < 3) {
        command.asks = CommandLine::Asks::Usage;
        return command;
    }
    command.mode = modeOf(positional[0][0]);
    if (const auto why = misfit(command.options, command.mode))
        return refusal(*why);
    command.fileName = positional[1];
    command.port = atoiSaturated(positional[2]);
    if (!numberAtStart(positional[2]))  // the empty text names no service, and stays 0
        command.service = positional[2];
    if (positional.size() >= 4)
        command.ipAddress = positional[3];
    command.sendSize = positional.size() == 5 ? atoiSaturated(positional[4]) : command.options.sendMost;
    if (positional.size() > 5 && (command.mode == OperationMode::Send || command.mode == OperationMode::SendAndListen))
        command.unread.assign(positional.begin() + 4, positional.end());
    return command;
}
