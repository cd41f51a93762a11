// What of a login answer the tokens file may hold: the tokens as it stores
// them, and the test that they read back (and the access token can be sent).
#ifndef VESK_STORABLE_TOKENS_H
#define VESK_STORABLE_TOKENS_H

#include "vandrel.h"

namespace vandrel {

// LoginError for the first token that cannot be stored; the message names
// the token and what is wrong, never the token itself.
bool storable(PyObject* login_error, PyObject* access, PyObject* refresh);

// A token as the tokens file holds it: made text as the parser would make
// it, with every "%" doubled so that the parser's interpolation gives back
// exactly what the server sent. None stays None for the parser to refuse.
Ref stored_token(Ref value);

}  // namespace vandrel

#endif  // VESK_STORABLE_TOKENS_H
