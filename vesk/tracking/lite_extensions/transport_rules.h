// What the requests to the account server may carry, and where: the
// credentials the module means (the login form, the bearer token) and no
// other, and none of them in clear text to another machine.
#ifndef VESK_TRANSPORT_RULES_H
#define VESK_TRANSPORT_RULES_H

#include "vandrel.h"

namespace vandrel {

inline constexpr char kInsecureVariable[] = "TALVERO_INSECURE_TRANSPORT";

// Refuses the request URL `url` (a str) before anything is looked up for
// sending it, with requests.exceptions.InvalidURL (a RequestException and a
// ValueError): a user name or password before its host, whose words do not
// quote them; or plain http to a host that is not this machine, unless
// TALVERO_INSECURE_TRANSPORT (read afresh from os.environ) is non-empty.
// True when the request may go; false with the exception set.
bool transport_allowed(PyObject* url);

// The auth= of both requests: a callable that hands the prepared request
// back as it is. requests reads ~/.netrc, and the URL's user and password,
// only for a request that names no auth, and they would replace the
// module's own authorization header.
Ref headers_as_given();

}  // namespace vandrel

#endif  // VESK_TRANSPORT_RULES_H
