// How a piece of work ended: as asked, by a failed call, or by a stop signal. Only the
// front end acts on it, so that the process ends in one place, in one way.
#pragma once

#include <cerrno>
#include <string>

struct Ending {
    int status = 0;
    const char *call = nullptr;  // a failed call, reported with the system's reason
    int error = 0;
    int signal = 0;  // the process ends by this signal, as it would have without us
    std::string words;  // said instead of the call and its reason, where words say more

    bool failed() const { return call != nullptr; }
    bool stops() const { return call != nullptr || signal != 0; }
};

// The call that just failed, with errno as it left it.
inline Ending failure(const char *call, int status = 1) { return Ending{status, call, errno, 0, {}}; }
// A call that failed for `error`.
inline Ending failure(const char *call, int error, int status) { return Ending{status, call, error, 0, {}}; }
// A failure told in words, a line of its own on standard error.
inline Ending failureSaid(std::string words, int status = 1) { return Ending{status, "", 0, 0, std::move(words)}; }
