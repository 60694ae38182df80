// How a piece of work ended: as asked, by a failed call, by a failure told in words, or by
// a stop signal. Only the front end acts on it, so that the process ends in one place, in
// one way; a failure that does not end the run is told the same way.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

struct Ending {
    enum class Kind { AsAsked, FailedCall, FailureSaid, StopSignal };
    Kind kind = Kind::AsAsked;
    int status = 0;
    const char *call = nullptr;  // a failed call, told with the system's reason
    int error = 0;
    int signal = 0;     // the process ends by this signal, as it would have without us
    std::string words;  // a failure told in words, a line of its own

    bool failed() const { return kind == Kind::FailedCall || kind == Kind::FailureSaid; }
};

// The call that just failed, with errno as it left it.
inline Ending failure(const char *call, int status = 1) { return {Ending::Kind::FailedCall, status, call, errno, 0, {}}; }
// A call that failed for `error`.
inline Ending failure(const char *call, int error, int status) { return {Ending::Kind::FailedCall, status, call, error, 0, {}}; }
// A failure told in words, a line of its own on standard error.
inline Ending failureSaid(std::string words, int status = 1)
{
    return {Ending::Kind::FailureSaid, status, nullptr, 0, 0, std::move(words)};
}
// Stopped by `signal`; by none, as asked.
inline Ending stoppedBy(int signal) { return signal == 0 ? Ending{} : Ending{Ending::Kind::StopSignal, 0, nullptr, 0, signal, {}}; }

// Tells a failure on standard error: the call and the system's reason, or the words.
inline void tellFailure(const Ending &ending)
{
    if (ending.kind == Ending::Kind::FailureSaid)
        fprintf(stderr, "%s\n", ending.words.c_str());
    else if (ending.kind == Ending::Kind::FailedCall)
        fprintf(stderr, "%s: %s\n", ending.call, strerror(ending.error));
}
