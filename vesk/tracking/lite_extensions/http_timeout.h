// The time-out of the requests to the account server, as the environment
// variable TALVERO_HTTP_TIMEOUT sets it.
#ifndef VESK_HTTP_TIMEOUT_H
#define VESK_HTTP_TIMEOUT_H

#include "vandrel.h"

namespace vandrel {

inline constexpr char kTimeoutVariable[] = "TALVERO_HTTP_TIMEOUT";

// What TALVERO_HTTP_TIMEOUT asks of one request: the timeout= value
// (empty: none is passed) and the read part, which also bounds the whole
// answer (0: no bound).
struct Timeouts {
    Ref timeout;
    double read_seconds = 0.0;
};

// TALVERO_HTTP_TIMEOUT as one request takes it, read afresh for each (the
// values it takes: http_timeout.cpp); false with an exception set when it
// fails, ValueError for a value it refuses.
bool http_timeout(Timeouts& out);

}  // namespace vandrel

#endif  // VESK_HTTP_TIMEOUT_H
