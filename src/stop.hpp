// How a run is stopped: by a stop signal (SIGINT, SIGTERM, SIGHUP), or in L mode by one of
// its threads for the other. The handler only notes the signal and writes to a pipe, so
// that a thread waiting for datagrams, for its turn or for its input wakes at once.
#pragma once

#include "ending.hpp"

// From now on a stop signal is noted instead of ending the process; `sendingSock`, where
// the run also sends (-1 where it does not), is shut for sending at the stop, which wakes
// a send that waits for room in a full socket.
Ending catchStopSignals(int sendingSock);
// A stop signal came, or askStop() was called.
bool stopAsked();
// The stop signal that came, or 0.
int stopSignalCaught();
// From another thread of the run: stop as if a signal had come, but end by none.
void askStop();
// A descriptor that turns readable once a stop is asked, to wait on beside others; -1
// before catchStopSignals, when nothing but the signal itself can stop the run.
int stopNotice();
