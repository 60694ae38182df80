// frandle-probe: makes a file whose chunks describe themselves, and checks what a receiver
// printed of them: which arrived intact, which are missing, duplicated, out of order or
// damaged. This is its command line; probe_lib.cpp holds what it does.
#include "ending.hpp"
#include "probe_lib.hpp"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cinttypes>
#include <new>
#include <random>
#include <string>
#include <variant>
#include <vector>

namespace {

constexpr const char *usage =
    "usage: frandle-probe make SIZE [send size] | frandle-probe check [--json] [--run RUN] [LOG...]";

constexpr const char *help = R"(
Makes a probe file whose chunks describe themselves, and checks what a frandle receiver
printed of one.

  make SIZE [send size]  writes SIZE bytes to standard output in chunks of send size
                         bytes (51 to 65527, by default 1396); k, m, g: powers of 1024
  check [LOG...]         reads what frandle R or L printed (standard input without LOG)
                         and reports, for each run of chunks, what arrived

Options, anywhere among the words (-- ends them):
  --json                 check: the report as one JSON object
  --run RUN              check: the verdict and status of run RUN (8 hex digits) alone
  -h, --help             this text
  -V, --version          the name and version

Status: 0 when every datagram arrived intact exactly once, 1 when not, 2 for a usage
error or a log that cannot be read. The manual: man frandle-probe.)";

// Status 2: a usage error, or a log or output that cannot be read or written.
constexpr int TROUBLE = 2;

Ending refusal(const std::string &why) { return failureSaid("frandle-probe: " + why + "\n" + usage, TROUBLE); }

Ending writeOut(const char *bytes, std::size_t length)
{
    for (std::size_t at = 0; at < length;) {
        const ssize_t wrote = write(STDOUT_FILENO, bytes + at, length - at);
        if (wrote < 0)
            return failure("stdout", TROUBLE);
        at += static_cast<std::size_t>(wrote);
    }
    return {};
}

// Says on standard error what differs from plain chunks of the send size.
void tellLayout(const probe::Layout &layout)
{
    if (layout.beforeLast != layout.chunk)
        fprintf(stderr,
                "frandle-probe: %" PRIu64 " chunks of %zu bytes, but chunk %" PRIu64 " has %zu and the last %zu, so that "
                "each holds its %zu-byte header\n",
                layout.count, layout.chunk, layout.count - 2, layout.beforeLast, layout.last, probe::HEADER);
    if (layout.chunk > probe::LARGEST_SENT)
        fprintf(stderr,
                "frandle-probe: chunks of %zu bytes: frandle S sends at most %zu a datagram, even with -l, so they "
                "would not arrive whole\n",
                layout.chunk, probe::LARGEST_SENT);
    else if (layout.chunk > probe::DEFAULT_CHUNK)
        fprintf(stderr,
                "frandle-probe: chunks of %zu bytes: frandle S sends at most %zu a datagram without -l, so send "
                "them with -l %zu, and receive them with it too\n",
                layout.chunk, probe::DEFAULT_CHUNK, layout.chunk);
}

Ending make(const probe::Layout &layout)
{
    std::random_device entropy;
    const auto run = static_cast<std::uint32_t>(entropy());
    std::vector<char> block((1 << 20) / layout.chunk * layout.chunk + layout.chunk);
    std::size_t used = 0;
    for (std::uint64_t seq = 0; seq < layout.count; ++seq) {
        probe::writeChunk(block.data() + used, run, seq, layout);
        used += layout.lengthOf(seq);
        if (used + layout.chunk > block.size()) {
            if (const Ending out = writeOut(block.data(), used); out.failed())
                return out;
            used = 0;
        }
    }
    return writeOut(block.data(), used);
}

enum class Report { Text, Json };

// The verdict's status: 0 for every datagram intact exactly once, 1 for anything less.
Ending check(const std::vector<const char *> &logs, probe::Tally &tally, Report report)
{
    if (logs.empty() && !probe::readLog(STDIN_FILENO, tally))
        return failure("standard input", TROUBLE);
    for (const char *name : logs) {
        const int log = open(name, O_RDONLY);
        if (log < 0 || !probe::readLog(log, tally))
            return failure(name, TROUBLE);
        close(log);
    }
    if (report == Report::Json)
        probe::reportJson(stdout, tally);
    else
        probe::reportText(stdout, tally);
    if (fflush(stdout) != 0 || ferror(stdout))
        return failure("stdout", TROUBLE);
    Ending verdict;
    verdict.status = probe::whole(tally) ? 0 : 1;
    return verdict;
}

// What to do, and how it went.
Ending frandleProbe(const std::vector<const char *> &words, probe::Tally &tally, Report report)
{
    const std::string verb = words.empty() ? "" : words[0];
    if (verb == "make" && (words.size() == 2 || words.size() == 3)) {
        if (report == Report::Json || tally.chosen)
            return refusal(std::string(report == Report::Json ? "--json" : "--run") + " is for check");
        const auto layout = probe::layoutFor(words[1], words.size() == 3 ? std::optional<std::string_view>(words[2])
                                                                         : std::nullopt);
        if (const auto *why = std::get_if<std::string>(&layout))
            return refusal(*why);
        tellLayout(std::get<probe::Layout>(layout));
        return make(std::get<probe::Layout>(layout));
    }
    if (verb != "check")
        return refusal(words.empty()    ? "make or check?"
                       : verb == "make" ? "make needs SIZE, and takes a send size at most after it"
                                        : "unknown words: " + verb);
    return check(std::vector<const char *>(words.begin() + 1, words.end()), tally, report);
}

int endWith(const Ending &ending)
{
    tellFailure(ending);
    return ending.status;
}

}  // namespace

int main(int argc, char *argv[])
{
    static const option longOptions[] = {
        {"json", no_argument, nullptr, 'j'}, {"run", required_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    std::vector<const char *> words;
    probe::Tally tally;
    Report report = Report::Text;
    opterr = 0;  // the reasons are given here, under the tool's own name
    // "-": words come back in order as option 1, so options may stand anywhere among them.
    for (int option; (option = getopt_long(argc, argv, "-:hV", longOptions, nullptr)) != -1;) {
        switch (option) {
        case 1:
            words.push_back(optarg);
            break;
        case 'j':
            report = Report::Json;
            break;
        case 'r':
            tally.chosen = probe::runNamed(optarg);
            if (!tally.chosen)
                return endWith(refusal("not a run: " + probe::quoted(optarg) + " (8 hex digits)"));
            break;
        case 'h':
            printf("%s\n%s\n", usage, help + 1);
            return 0;
        case 'V':
            printf("frandle-probe %s\n", FRANDLE_VERSION);
            return 0;
        case ':':
            return endWith(refusal(std::string(argv[optind - 1]) + " needs a value"));
        default:
            return endWith(refusal(std::string("unknown option ") + argv[optind - 1]));
        }
    }
    words.insert(words.end(), argv + optind, argv + argc);  // those after "--"
    try {
        return endWith(frandleProbe(words, tally, report));
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "frandle-probe: out of memory\n");
        return 2;
    }
}
