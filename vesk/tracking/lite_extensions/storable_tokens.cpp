// What of a login answer the tokens file may hold (see storable_tokens.h).
#include "storable_tokens.h"
#include "shared_helpers.h"

#include <cstdio>

namespace vandrel {
namespace {

// What a token (as the tokens file will hold it) holds that keeps it from
// being stored, or null, and in `*why` why: it must read back through the
// file's dialect, and the access token must also fit the token check's
// request header (Latin-1, no control character but the tab). `*culprit`
// is the character at fault.
const char* unstorable(PyObject* token, bool sent_in_header, Py_UCS4* culprit,
                       const char** why) {
    static constexpr char kHeader[] = "which a request header cannot carry";
    const Py_ssize_t length = PyUnicode_GET_LENGTH(token);
    bool line_start = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(token, i);
        *culprit = c;
        if (c == '\r') {
            *why = "which would end a line of the tokens file";
            return "a carriage return";
        }
        if (line_start && !Py_UNICODE_ISSPACE(c)) {
            line_start = false;
            if (c == '#' || c == ';') {
                *why = "which the tokens file would read as a comment";
                return "a line beginning with '#' or ';'";
            }
        }
        *why = kHeader;
        if (c == '\n') {
            if (sent_in_header) return "a line feed";
            line_start = true;
        } else if (sent_in_header && c > 0xFF) {
            return "a character outside Latin-1";
        } else if (sent_in_header && ((c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F))) {
            return "a control character";
        }
    }
    return nullptr;
}

}  // namespace

bool storable(PyObject* login_error, PyObject* access, PyObject* refresh) {
    const struct {
        PyObject* token;
        const char* name;
        bool sent_in_header;
    } tokens[] = {{access, "access_token", true}, {refresh, "refresh_token", false}};
    for (const auto& token : tokens) {
        if (!PyUnicode_Check(token.token)) continue;
        Py_UCS4 culprit = 0;
        const char* why = nullptr;
        const char* what = unstorable(token.token, token.sent_in_header, &culprit, &why);
        if (what == nullptr) continue;
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(culprit));
        raise_login_error(login_error, Ref::steal(PyUnicode_FromFormat(
            "the account server's %s cannot be stored: it holds %s (%s), %s; the tokens "
            "file was left as it was", token.name, what, code, why)));
        return false;
    }
    return true;
}

Ref stored_token(Ref value) {
    if (!value || value.get() == Py_None) return value;
    Ref value_text = Ref::steal(PyObject_Str(value.get()));
    Ref percent = text("%");
    Ref doubled = text("%%");
    if (!value_text || !percent || !doubled) return Ref();
    return Ref::steal(PyUnicode_Replace(value_text.get(), percent.get(), doubled.get(), -1));
}

}  // namespace vandrel
