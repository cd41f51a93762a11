"""One peer's measurements, in a process of its own (see peer_benchmark.py).

The benchmark passes this file's text to the interpreter with -c, from an
empty folder, and one JSON argument:

    {"peer": "native" | "python" | "cython" | "partial" | "hand" | "one-set",
     "mode": "time" | "count",
     "rows": [row key, ...],
     "counts": {row key: N}           (count mode),
     "target": seconds per timing, "repeat": timings per row   (time mode)}

The module under test is `vandrel` for the native build and both twins,
found in the peer's own folder first on PYTHONPATH, so that everything
below is the same code for all of them. "partial" measures
functools.partial in the decorator's rows and imports no module; "hand" is
get_token()'s cached path written out by hand in Python.

Time mode prints one JSON line: best seconds per call of each row (the
import is timed once: one import per process). Count mode runs under
callgrind: each row runs N and then 2N times between the marks of the
callgrind_marks helper, labelled "<row> N" and "<row> 2N"; the parent reads
the dumps. The import is marked as "import", beside an empty pair "empty".
Both modes print the results of a few calls, for the parent to compare
between peers.
"""

import sys

# What the module under test imports, imported first: its import then
# measures its own body only.
import functools
import os
import requests
import configparser
import re
import socket
import pathlib
import vesk.tracking.exceptions
import vesk.tracking.utils
import vesk.utils
import vesk.tracking.lite_extensions.urls
import gc
import json
import time
import timeit

CONFIG = json.loads(sys.argv[1])
PEER = CONFIG["peer"]
MODE = CONFIG["mode"]

if MODE == "count":
    import callgrind_marks as marks

    if not marks.running():
        sys.exit("count mode runs under callgrind")

# "hand" imports the native module too and warms both get_token()s, as the
# native peer does: the two processes differ only in the function measured,
# so that heap and cache state weigh the same in both counts.
IMPORTS_MODULE = PEER in ("native", "python", "cython", "hand", "one-set")
import_seconds = None
if IMPORTS_MODULE:
    if MODE == "count":
        marks.zero()
        marks.dump("empty")
        marks.zero()
        vandrel = __import__("vandrel")
        marks.dump("import")
    else:
        gc.collect()
        start = time.perf_counter()
        vandrel = __import__("vandrel")
        import_seconds = time.perf_counter() - start


def quiet_print(text):
    return None


def target(a, b):
    return a


def method_body(self, a, b):
    return a


class Obj(object):
    pass


def hand_get_token_setup():
    """The module-level values the hand-written get_token() reads."""
    from vesk.tracking.lite_extensions.urls import TALVERO_API_URL

    home = pathlib.Path.home()
    return (
        os.path.join(home, pathlib.Path(".talvero/secret.file")),
        os.path.join(home, pathlib.Path(".talvero/tokens.file")),
        TALVERO_API_URL,
    )


if PEER in ("native", "hand"):
    SECRET_FILE, TOKENS_FILE, TALVERO_API_URL = hand_get_token_setup()
    # The twin's URL check and auth=, which the module's request makes too.
    from bench.vandrel_twin import _check_transport as check_transport
    from bench.vandrel_twin import _keep_headers as keep_headers


def hand_read(parser, path):
    """What the module does to read a good file: opened without blocking,
    checked to be a regular file of at most 1 MiB, read, decoded as open()
    decodes, parsed under its name."""
    import io

    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    try:
        status = os.fstat(fd)
        if status.st_mode & 0o170000 != 0o100000 or status.st_size > 1 << 20:
            raise RuntimeError("the benchmark's files are small regular files")
        raw = os.read(fd, status.st_size + 1)
        while len(raw) <= status.st_size:
            piece = os.read(fd, status.st_size + 1 - len(raw))
            if not piece:
                break
            raw += piece
    finally:
        os.close(fd)
    parser.read_string(io.TextIOWrapper(io.BytesIO(raw)).read(), os.fspath(path))


def hand_get_token():
    """get_token() on the cached path, as the same calls written in Python."""
    config = configparser.ConfigParser()
    if not os.path.isfile(SECRET_FILE):
        sys.exit(1)
    hand_read(config, SECRET_FILE)
    email = config["secret"]["email"]
    password = config["secret"]["password"]
    if not os.path.exists(TOKENS_FILE):
        raise RuntimeError("the benchmark's tokens file is missing")
    # The token is read once to know the file gives one, once for the check
    # and once after it.
    for _ in range(2):
        ftoken = configparser.ConfigParser()
        hand_read(ftoken, TOKENS_FILE)
        token = ftoken["TOKENS"]["access_token"]
    url = TALVERO_API_URL + "/auth/authenticate"
    check_transport(url)
    query = requests.get(
        url, headers={"authorization": "Bearer " + token}, auth=keep_headers,
        allow_redirects=False, stream=True, timeout=(10.0, 60.0)
    )
    query.close()
    if query.status_code != 200:
        raise RuntimeError("the account server refused the benchmark's token")
    ftoken = configparser.ConfigParser()
    hand_read(ftoken, TOKENS_FILE)
    return ftoken["TOKENS"]["access_token"]


# The decorator of the peer: the module's, or functools.partial.
if IMPORTS_MODULE:
    # create_secret_file_guide() prints through the module's cyan_print;
    # rebound to a no-op in every peer, its row measures the call itself.
    vandrel.cyan_print = quiet_print
    decorate = vandrel.catch_tarnel_exception
elif PEER == "partial":
    decorate = functools.partial
else:
    decorate = None

obj = Obj()
if decorate is not None:
    decorated = decorate(target)
    if PEER == "partial":
        # partial has no __get__: it holds the instance itself, on the
        # instance, where looking it up costs about what binding does.
        obj.m = functools.partial(method_body, obj)
    else:
        Obj.m = decorate(method_body)

# row key -> (statement, what `f` is). The statements are the same for all
# peers; only the objects bound to their names differ.
FUNCTIONS = {
    "host": "get_host_uri",
    "experiment": "_get_experiment_id",
    "run": "_get_run_id",
    "runid": "_runid_exists",
    "guide": "create_secret_file_guide",
    "secret": "get_secret_config",
}


def statement(row):
    """(statement, namespace) of a row, or None when the peer lacks it."""
    if row in FUNCTIONS:
        if not IMPORTS_MODULE:
            return None
        return "f()", {"f": getattr(vandrel, FUNCTIONS[row])}
    if row == "decorate":
        return ("deco(g)", {"deco": decorate, "g": target}) if decorate else None
    if row == "positional":
        return ("f(1, 2)", {"f": decorated}) if decorate else None
    if row == "keyword":
        return ("f(1, b=2)", {"f": decorated}) if decorate else None
    if row == "method":
        return ("obj.m(1, 2)", {"obj": obj}) if decorate else None
    if row == "direct":
        return "f(1, 2)", {"f": target}
    if row == "token":
        if PEER == "native":
            return "f()", {"f": vandrel.get_token}
        if PEER == "hand":
            return "f()", {"f": hand_get_token}
        return None
    return None


def checks():
    """A few results, for the parent to compare between peers."""
    found = {}
    if IMPORTS_MODULE:
        found["get_host_uri()"] = vandrel.get_host_uri()
        found["_get_experiment_id()"] = vandrel._get_experiment_id()
        found["_get_run_id()"] = vandrel._get_run_id()
        found["_runid_exists()"] = vandrel._runid_exists()
        found["create_secret_file_guide()"] = repr(vandrel.create_secret_file_guide())
        if "secret" in CONFIG["rows"]:
            config = vandrel.get_secret_config()
            found["get_secret_config()"] = [type(config).__name__, dict(config["secret"])]
        found["SECRET_FILE"] = vandrel.SECRET_FILE
        found["TOKENS_FILE"] = vandrel.TOKENS_FILE
    if decorate is not None:
        found["f(1, 2)"] = decorated(1, 2)
        found["f(1, b=2)"] = decorated(1, b=2)
        found["obj.m(1, 2)"] = obj.m(1, 2)
    return found


def best_time(timer):
    """Best seconds per call over CONFIG["repeat"] timings of about
    CONFIG["target"] seconds each (timeit's repeat/min)."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= CONFIG["target"] / 10 or number >= 10 ** 8:
            break
        number *= 10
    number = max(1, int(number * CONFIG["target"] / max(elapsed, 1e-9)))
    return min(timer.timeit(number) for _ in range(CONFIG["repeat"])) / number


def main():
    result = {"peer": PEER, "rows": {}, "checks": checks(), "version": sys.version}
    if import_seconds is not None:
        result["rows"]["import"] = import_seconds
    for row in CONFIG["rows"]:
        made = statement(row)
        if made is None:
            continue
        timer = timeit.Timer(made[0], globals=made[1])
        if row == "token":
            for _ in range(5):
                vandrel.get_token()
                hand_get_token()
        if MODE == "count":
            n = CONFIG["counts"][row]
            timer.timeit(max(10, n // 10))  # warm caches and specialisation
            marks.zero()
            timer.timeit(n)
            marks.dump("%s N" % row)
            marks.zero()
            timer.timeit(2 * n)
            marks.dump("%s 2N" % row)
            result["rows"][row] = n
        else:
            result["rows"][row] = best_time(timer)
    sys.stdout.write(json.dumps(result) + "\n")


main()
