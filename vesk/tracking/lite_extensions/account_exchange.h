// One exchange with the account server: the request, and what its answer
// gives within bounds (the status, the members of a JSON body, a login
// body read whole, a redirect refused).
#ifndef VESK_ACCOUNT_EXCHANGE_H
#define VESK_ACCOUNT_EXCHANGE_H

#include "vandrel.h"

#include <ctime>

namespace vandrel {

// One exchange: when it was sent and how long its answer may take.
struct Exchange {
    struct timespec sent = {};
    double read_seconds = 0.0;  // 0: no bound
};

// requests.<method>(str(TALVERO_API_URL) + endpoint, <keyword>=value,
// auth=<headers as given>, allow_redirects=False, stream=True), plus
// timeout= when the environment sets one; the names are resolved in that
// order, at the time of the call, and the URL is refused before requests is
// looked up where it would carry credentials the module does not mean, or
// carry them in clear text (transport_rules.h).
// No redirect is followed: the login form and the bearer token go to the
// configured origin only, and only its answer counts. The body is left
// unread (stream=True) for the caller to read within bounds, or not at all.
Ref request(PyObject* module, PyObject* method, PyObject* endpoint, PyObject* keyword,
            PyObject* value, Exchange& exchange);

// query.status_code != 200 (status on the left) as a truth value, -1 on error.
int refused(PyObject* query);

// 1 when `query` is an answer of the real requests, 0 when not, -1 on error.
int real_answer(PyObject* query);

// Closes a real answer when the scope ends, which gives its connection back
// and ends a body left unread; an error already pending stays the one the
// caller sees, and close() can add none of its own.
class ClosingAnswer {
 public:
    explicit ClosingAnswer(PyObject* query) : query_(query) {}
    ~ClosingAnswer();
    ClosingAnswer(const ClosingAnswer&) = delete;
    ClosingAnswer& operator=(const ClosingAnswer&) = delete;

 private:
    PyObject* query_;  // borrowed: the caller holds the answer longer
};

// Reads the body of a real login answer, for json() to decode, within two
// bounds: all of it within the read time-out counted from the sending
// (requests' ReadTimeout), and no more than 1 MiB (LoginError, at once
// where the answer announces its length). The pieces read are all
// that is held.
bool read_body(PyObject* query, const Exchange& exchange, PyObject* login_error);

// query.json()[key], the answer named when its body is not JSON.
Ref answer_member(PyObject* query, PyObject* key, bool real);

// A redirect refuses the login: it is not followed, and the message names
// the status and where it pointed.
bool redirected(PyObject* query, PyObject* login_error);

}  // namespace vandrel

#endif  // VESK_ACCOUNT_EXCHANGE_H
