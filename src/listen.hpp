// L mode: sends a file from the listening port while a second thread prints what comes back.
#pragma once

#include "ending.hpp"
#include "options.hpp"

constexpr std::int32_t LISTEN_LOCAL_PORT = 30000;

Ending listenMode(const CommandLine &command);
