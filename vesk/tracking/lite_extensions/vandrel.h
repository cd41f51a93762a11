// What the sources of vesk.tracking.lite_extensions.vandrel share: the
// interned names its code looks up, and the functions each subsystem adds.
#ifndef VESK_VANDREL_H
#define VESK_VANDREL_H

#include "capi.h"

namespace vandrel {

using vesk::Ref;

// Every name the module's code resolves or reads, and the constant texts of
// its functions, interned once per process. Written in the module's set-up,
// before any function of the module can run, and only read afterwards, so
// threads read them without a lock (interned strings are immortal in
// free-threaded builds, so no count changes either).
// X(field, text)
#define VANDREL_NAMES(X)                                 \
    X(wraps, "wraps")                                    \
    X(os, "os")                                          \
    X(sys, "sys")                                        \
    X(requests, "requests")                              \
    X(configparser, "configparser")                      \
    X(Path, "Path")                                      \
    X(MlflowException, "MlflowException")                \
    X(TarnelException, "TarnelException")                \
    X(env, "env")                                        \
    X(cyan_print, "cyan_print")                          \
    X(red_print, "red_print")                            \
    X(TRACKING_URI, "TRACKING_URI")                      \
    X(TALVERO_API_URL, "TALVERO_API_URL")                \
    X(EXPERIMENT_ID_ENV_VAR, "_EXPERIMENT_ID_ENV_VAR")   \
    X(RUN_ID_ENV_VAR, "_RUN_ID_ENV_VAR")                 \
    X(HOME, "HOME")                                      \
    X(SECRET_FILE, "SECRET_FILE")                        \
    X(TOKENS_FILE, "TOKENS_FILE")                        \
    X(LoginError, "LoginError")                          \
    X(Exception, "Exception")                            \
    X(create_secret_file_guide, "create_secret_file_guide") \
    X(get_secret_config, "get_secret_config")            \
    X(fetch_token, "fetch_token")                        \
    X(expired_token, "expired_token")                    \
    X(dunder_module, "__module__")                       \
    X(dunder_qualname, "__qualname__")                   \
    X(dunder_prepare, "__prepare__")                     \
    X(home, "home")                                      \
    X(path, "path")                                      \
    X(join, "join")                                      \
    X(environ, "environ")                                \
    X(get_env, "get_env")                                \
    X(ConfigParser, "ConfigParser")                      \
    X(read, "read")                                      \
    X(write, "write")                                    \
    X(isfile, "isfile")                                  \
    X(exists, "exists")                                  \
    X(exit, "exit")                                      \
    X(post, "post")                                      \
    X(get, "get")                                        \
    X(data, "data")                                      \
    X(headers, "headers")                                \
    X(timeout, "timeout")                                \
    X(auth, "auth")                                      \
    X(allow_redirects, "allow_redirects")                \
    X(stream, "stream")                                  \
    X(strip, "strip")                                    \
    X(requests_models, "requests.models")                \
    X(requests_exceptions, "requests.exceptions")        \
    X(Response, "Response")                              \
    X(ReadTimeout, "ReadTimeout")                        \
    X(HTTPError, "HTTPError")                            \
    X(reason, "reason")                                  \
    X(raw, "raw")                                        \
    X(connection, "connection")                          \
    X(sock, "sock")                                      \
    X(fileno, "fileno")                                  \
    X(content_attribute, "_content")                     \
    X(content_consumed, "_content_consumed")             \
    X(add_note, "add_note")                              \
    X(content_length_header, "Content-Length")           \
    X(content_type_header, "Content-Type")               \
    X(location_header, "Location")                       \
    X(status_code, "status_code")                        \
    X(json, "json")                                      \
    X(message, "message")                                \
    X(email, "email")                                    \
    X(password, "password")                              \
    X(secret, "secret")                                  \
    X(TOKENS, "TOKENS")                                  \
    X(access_token, "access_token")                      \
    X(refresh_token, "refresh_token")                    \
    X(authorization, "authorization")                    \
    X(open, "open")                                      \
    X(mkstemp, "mkstemp")                                \
    X(dir, "dir")                                        \
    X(prefix, "prefix")                                  \
    X(suffix, "suffix")                                  \
    X(flush, "flush")                                    \
    X(closefd, "closefd")                                \
    X(fsync, "fsync")                                    \
    X(close, "close")                                    \
    X(replace, "replace")                                \
    X(unlink, "unlink")                                  \
    X(dunder_name, "__name__")                           \
    /* reading the secret and tokens files (ini_reading.cpp) */ \
    X(io, "io")                                          \
    X(BytesIO, "BytesIO")                                \
    X(TextIOWrapper, "TextIOWrapper")                    \
    X(read_string, "read_string")                        \
    X(dunder, "__")                                      \
    X(dunder_call, "__call__")                           \
    X(wrapper, "wrapper")                                \
    X(wrapper_qualname, "catch_tarnel_exception.<locals>.wrapper") \
    /* the bounded decoder of a login answer */         \
    X(content, "content")                                \
    X(content_encoding_header, "Content-Encoding")       \
    X(decode_content, "decode_content")                  \
    X(decompressobj, "decompressobj")                    \
    X(decompress, "decompress")                          \
    X(unconsumed_tail, "unconsumed_tail")                \
    X(unused_data, "unused_data")                        \
    X(eof, "eof")                                        \
    X(error, "error")                                    \
    X(lower, "lower")                                    \
    X(urllib3_exceptions, "urllib3.exceptions")          \
    X(ProtocolError, "ProtocolError")                    \
    X(ReadTimeoutError, "ReadTimeoutError")              \
    X(SSLError, "SSLError")                              \
    X(ChunkedEncodingError, "ChunkedEncodingError")      \
    X(ConnectionError, "ConnectionError")                \
    X(ContentDecodingError, "ContentDecodingError")      \
    /* constant texts of the functions, made once rather than per call */ \
    X(login_path, "/auth/login")                         \
    X(authenticate_path, "/auth/authenticate")           \
    X(bearer, "Bearer ")                                 \
    X(guide_message,                                     \
      "couldn't locate your credentials, please configure by typing `vesk config` in a terminal")

struct Names {
#define VANDREL_NAME_FIELD(field, text) PyObject* field = nullptr;
    VANDREL_NAMES(VANDREL_NAME_FIELD)
#undef VANDREL_NAME_FIELD
};

extern Names names;

// The module's functions, in the order the set-up binds them. Each subsystem
// source defines the entries of its own functions.
extern PyMethodDef create_secret_file_guide_method;
extern PyMethodDef get_host_uri_method;
extern PyMethodDef get_secret_config_method;
extern PyMethodDef fetch_token_method;
extern PyMethodDef expired_token_method;
extern PyMethodDef get_token_method;
extern PyMethodDef catch_tarnel_exception_method;
extern PyMethodDef get_experiment_id_method;
extern PyMethodDef get_run_id_method;
extern PyMethodDef runid_exists_method;

// Readies the type of the wrappers catch_tarnel_exception makes; false with
// an exception set when it fails.
bool ready_wrapper_type();

}  // namespace vandrel

#endif  // VESK_VANDREL_H
