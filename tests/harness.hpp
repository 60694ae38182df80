// Runs the real binary as a child process and talks to it over UDP on 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// A test that a sanitized build cannot run (its memory defeats the limits the test sets):
// disabled there, which ctest lists by name, rather than a skip, which fails under CI.
#ifdef FRANDLE_SANITIZED
#define UNSANITIZED(name) DISABLED_##name
#else
#define UNSANITIZED(name) name
#endif

// A status as a shell shows it: the exit code, or 128 plus the signal that ended the process.
struct Outcome {
    std::string out;
    std::string err;
    int status;
};

// A started process whose standard output and error go to files, as a user's log would.
// The destructor ends it by its pid if it still runs.
class Child {
public:
    explicit Child(const std::vector<std::string> &argv);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    std::string out() const;
    std::string err() const;
    bool running();
    bool waitForOut(std::string_view text, Millis limit = 5s) const;
    int wait(Millis limit = 10s);  // a process still running at the limit is killed
    int stop(int sig);             // sends the signal, then waits
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_;
    std::string errPath_;
};

// A started process whose standard descriptors named are a terminal (raw: line ends are
// not translated), the others /dev/null. The destructor ends it by its pid if it still runs.
class OnTerminal {
public:
    OnTerminal(const std::vector<std::string> &argv, const std::vector<int> &descriptors);
    ~OnTerminal();
    OnTerminal(const OnTerminal &) = delete;
    OnTerminal &operator=(const OnTerminal &) = delete;

    // Everything the terminal showed, read until it shows `text` or the limit passes.
    const std::string &readUntil(std::string_view text, Millis limit = 2s);
    int stop(int sig, Millis grace = 0ms);  // sends the signal if it has not ended within the grace
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int terminal_ = -1;
    std::string shown_;
};

std::vector<std::string> frandle(std::vector<std::string> args);  // the binary's argv
Outcome run(const std::vector<std::string> &args, Millis limit = 10s);

// A file that lives as long as the object.
class TempFile {
public:
    explicit TempFile(std::string_view contents = {});
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

std::string readFile(const std::string &path);
std::string testBytes(std::size_t size, unsigned seed = 1);  // every byte value, zero included
std::string textBytes(std::size_t size);                     // printable, with line ends
std::string datagramLines(const std::string &text, std::size_t chunk);  // text sent in chunks, as printed

struct Datagram {
    std::string bytes;
    std::uint16_t from;  // source port
};

// A UDP socket bound to 127.0.0.1.
class Udp {
public:
    explicit Udp(std::uint16_t port = 0);
    ~Udp();
    Udp(const Udp &) = delete;
    Udp &operator=(const Udp &) = delete;

    std::uint16_t port() const;
    void sendTo(std::uint16_t port, std::string_view bytes) const;
    // One send that the kernel cuts into datagrams of `size` bytes, the last one shorter.
    void sendCut(std::uint16_t port, std::string_view bytes, std::size_t size) const;
    // Datagrams until `count` have come, or none has come for `quiet`.
    std::vector<Datagram> receive(std::size_t count, Millis quiet = 500ms) const;

private:
    int fd_;
};

using Json = nlohmann::json;
// Every report line that -J writes, read as JSON, by the report it names.
std::map<std::string, std::vector<Json>> jsonReports(const std::string &err);

std::uint16_t freePort();  // a UDP port that nothing held a moment ago
// A counter of the kernel's own (/proc/net/snmp, as "Udp", "RcvbufErrors"), in the network
// namespace `ns` or in this one: the truth a figure of the tool is held to. -1 if unread.
long kernelCount(const std::string &group, const std::string &name, const std::string &ns = "");

// Bytes of a transfer that a receiver surely holds in its socket until it prints them:
// on loopback the sender outpaces any receiver that writes every line, and the socket is
// capped near twice net.core.rmem_max, of which a datagram takes about 2 KB.
std::size_t largeTransfer(std::size_t wanted);
