"""Peer benchmark of vesk.tracking.lite_extensions.vandrel.

For the interpreter running it, measures the functions of the native
module that send no request, its import, the decorator and calls through
it, against its peers:

    native   the C++ build (make build PYTHON=... beforehand)
    python   bench/vandrel_twin.py, the same module written in Python
    cython   that twin compiled by Debian's cython3 for this interpreter
    partial  functools.partial, in the decorator's rows only
    one-set  with --one-set: the native module built with VESK_CACHE_ONE_SET,
             its lookup cache in the worst layout a process can draw

and then get_token() on its cached path against a local account server,
beside the same calls written out by hand in Python.

Each peer runs in a process of its own (bench/peer_child.py, run with -c
from an empty folder, with a temporary HOME holding .talvero/secret.file
and PYTHONPATH = the peer's folder, the repository, build/pydeps); every
peer is imported as `vandrel`, so the measuring code is the same for all.
Times: one process per peer and round, the peers interleaved in each round
(native, python, cython, partial, then again), the best of all rounds kept.
Instructions: one process per peer under callgrind; each row runs N, then
2N times between callgrind marks, and (I(2N) - I(N)) / N is its count per
call (whatever each stretch does once cancels). An import is counted as
its own stretch, less an empty stretch.

    make bench PYTHON=...
    PYTHONPATH=$PWD:$PWD/build/pydeps python bench/peer_benchmark.py
        [--rounds R] [--no-callgrind] [--only ROW,...] [--keep-callgrind DIR]
        [--one-set]

Built peers (the twin as vandrel.py, its Cython build, a link to the native
module, the callgrind marks helper) go to build/bench/<cache tag>-<digest>/.
"""

import argparse
import hashlib
import importlib.util
import json
import os
import platform
import py_compile
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
TOOLS = os.path.join(ROOT, "tools")
PYDEPS = os.path.join(ROOT, "build", "pydeps")
NATIVE_SOURCES = os.path.join(ROOT, "vesk", "tracking", "lite_extensions")
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

# (key, label, N of the callgrind run). The key is what --only takes.
ROWS = [
    ("import", "import vandrel", None),
    ("host", "get_host_uri()", 2000),
    ("experiment", "_get_experiment_id()", 2000),
    ("run", "_get_run_id()", 2000),
    ("runid", "_runid_exists()", 2000),
    ("guide", "create_secret_file_guide() *", 2000),
    ("secret", "get_secret_config()", 200),
    ("decorate", "catch_tarnel_exception(f)", 2000),
    ("positional", "f(1, 2)", 2000),
    ("keyword", "f(1, b=2)", 2000),
    ("method", "obj.m(1, 2)", 2000),
    ("direct", "control: plain g(1, 2)", 2000),
]
TOKEN_ROW = ("token", "get_token(), cached", 50)
ALL_KEYS = [row[0] for row in ROWS] + [TOKEN_ROW[0]]
PEERS = ["native", "python", "cython", "partial", "one-set"]
TOKEN_PEERS = ["native", "hand"]

# Seconds per timing and timings per row and process, in time mode.
TARGET_SECONDS = 0.02
REPEAT = 3
TOKEN_TARGET_SECONDS = 0.03
TOKEN_COUNT_RUNS = 3
IMPORT_ROUNDS_PER_ROUND = 4

EMAIL = "bench@example.com"
PASSWORD = "bench-password"


def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Peer benchmark of the native vandrel module (see the module docstring).")
    parser.add_argument("--rounds", type=int, default=5,
                        help="timing rounds: processes per peer (default 5)")
    parser.add_argument("--no-callgrind", action="store_true",
                        help="times only, no instruction counts")
    parser.add_argument("--only", metavar="ROW,...",
                        help="rows to run, among: " + ", ".join(ALL_KEYS))
    parser.add_argument("--keep-callgrind", metavar="DIR",
                        help="keep the callgrind dumps there, one file per peer and stretch "
                             "(for callgrind_annotate)")
    parser.add_argument("--one-set", action="store_true",
                        help="also the native module with every lookup cache entry in one set "
                             "(VESK_CACHE_ONE_SET), built into the bench folder")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    args.rows = ALL_KEYS
    if args.only:
        args.rows = [key.strip() for key in args.only.split(",") if key.strip()]
        unknown = [key for key in args.rows if key not in ALL_KEYS]
        if unknown:
            parser.error("unknown rows: %s (known: %s)" % (", ".join(unknown), ", ".join(ALL_KEYS)))
    return args


def load_average():
    try:
        return " ".join("%.2f" % value for value in os.getloadavg())
    except (AttributeError, OSError):
        return "?"


# ------------------------------------------------------------ building --


def build_folder():
    """build/bench/<cache tag>-<digest of the interpreter's path>, as the
    Makefile names the native build folders (Debian's and pyenv's 3.11
    share a cache tag but not headers)."""
    tag = "%s-%s%s" % (sys.implementation.cache_tag,
                       "d" if hasattr(sys, "gettotalrefcount") else "",
                       hashlib.md5(sys.executable.encode()).hexdigest()[:8])
    return os.path.join(ROOT, "build", "bench", tag)


def fresh_folder(path):
    if not os.path.isdir(path):
        os.makedirs(path)
    return path


def is_stale(output, sources):
    if not os.path.exists(output):
        return True
    built = os.path.getmtime(output)
    return any(os.path.getmtime(source) > built for source in sources)


def first_error(text):
    """The first line of compiler or Cython output that reports an error."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    for line in lines:
        # gcc's "path:line:column: error: message", without the folders
        if ": error:" in line or ": fatal error:" in line:
            return os.path.basename(line)[:160]
    for line in lines:
        if "error" in line.lower():
            return line[:160]
    return lines[-1][:160] if lines else "no output"


def compile_extension(source, output):
    """Builds a C extension for this interpreter, with its own headers and
    suffix; returns None, or why it failed."""
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        return "no C compiler"
    command = [compiler, "-shared", "-fPIC", "-O2", "-g", "-fwrapv", "-fno-strict-aliasing",
               "-I" + sysconfig.get_paths()["include"], source, "-o", output]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    if done.returncode != 0:
        return "gcc: " + first_error(done.stdout)
    return None


def prepare_native(folder):
    library = os.path.join(NATIVE_SOURCES, "vandrel" + EXT_SUFFIX)
    if not os.path.exists(library):
        sys.exit("no native build for this interpreter (%s): run make build PYTHON=%s"
                 % (library, sys.executable))
    link = os.path.join(fresh_folder(os.path.join(folder, "native")), "vandrel" + EXT_SUFFIX)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(library, link)
    return os.path.dirname(link), os.path.relpath(library, ROOT)


def prepare_one_set(folder):
    """The native modules built apart with VESK_CACHE_ONE_SET=ON; the
    folder holding its vandrel."""
    build = os.path.join(folder, "one-set-build")
    for command in (["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                     "-DPython_EXECUTABLE=" + sys.executable, "-DVESK_IN_PLACE=OFF",
                     "-DVESK_CACHE_ONE_SET=ON"],
                    ["cmake", "--build", build]):
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        if done.returncode != 0:
            sys.exit("building the one-set peer failed:\n" + done.stdout[-3000:])
    link = os.path.join(fresh_folder(os.path.join(folder, "one-set")), "vandrel" + EXT_SUFFIX)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.join(build, "vandrel" + EXT_SUFFIX), link)
    return os.path.dirname(link)


def prepare_python(folder):
    """The twin as vandrel.py, with its byte code written beforehand: the
    import then reads a .pyc, as an installed module's does."""
    twin = os.path.join(BENCH, "vandrel_twin.py")
    peer = fresh_folder(os.path.join(folder, "python"))
    copy = os.path.join(peer, "vandrel.py")
    if is_stale(copy, [twin]):
        shutil.copyfile(twin, copy)
    py_compile.compile(copy, cfile=importlib.util.cache_from_source(copy), doraise=True)
    return peer


def cython_version(cython):
    done = subprocess.run([cython, "--version"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)
    match = re.search(r"[0-9][0-9.]*\S*", done.stdout)
    return match.group(0) if match else "?"


def prepare_cython(folder):
    """(peer folder, description) or (None, why not)."""
    cython = shutil.which("cython3") or shutil.which("cython")
    if cython is None:
        return None, "cython3 not installed"
    version = cython_version(cython)
    twin = os.path.join(BENCH, "vandrel_twin.py")
    sources = fresh_folder(os.path.join(folder, "cython-src"))
    peer = fresh_folder(os.path.join(folder, "cython"))
    module = os.path.join(peer, "vandrel" + EXT_SUFFIX)
    failed = os.path.join(sources, "failed.txt")
    description = "Cython %s" % version
    if not is_stale(module, [twin]):
        return peer, description
    if not is_stale(failed, [twin]):
        with open(failed) as f:
            return None, f.read().strip()
    if os.path.exists(module):
        os.remove(module)
    source = os.path.join(sources, "vandrel.py")
    shutil.copyfile(twin, source)
    c_file = os.path.join(sources, "vandrel.c")
    done = subprocess.run([cython, "-3", "-o", c_file, source], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)
    why = None
    if done.returncode != 0:
        why = "cython: " + first_error(done.stdout)
    else:
        why = compile_extension(c_file, module)
    if why is not None:
        why = "Cython %s cannot build for Python %s (%s)" % (
            version, platform.python_version(), why)
        with open(failed, "w") as f:
            f.write(why + "\n")
        return None, why
    return peer, description


def prepare_marks(folder):
    """(folder of the callgrind marks helper, None) or (None, why not)."""
    if shutil.which("valgrind") is None:
        return None, "valgrind not installed"
    source = os.path.join(BENCH, "callgrind_marks.c")
    peer = fresh_folder(os.path.join(folder, "marks"))
    module = os.path.join(peer, "callgrind_marks" + EXT_SUFFIX)
    if is_stale(module, [source]):
        why = compile_extension(source, module)
        if why is not None:
            return None, "callgrind marks helper: " + why
    return peer, None


# --------------------------------------------------------------- children --


class ChildFailed(Exception):
    pass


class Runner(object):
    """Runs peer_child.py for a peer, from an empty folder, with a
    controlled environment."""

    def __init__(self, folders, marks, home, neutral, extra_env=None):
        self.folders = folders      # peer -> folder put first on PYTHONPATH
        self.marks = marks          # folder of the callgrind marks helper, or None
        self.home = home
        self.neutral = neutral      # the children's working folder, empty
        self.extra_env = dict(extra_env or {})
        with open(os.path.join(BENCH, "peer_child.py")) as f:
            self.source = f.read()

    def environment(self, peer):
        environ = {name: os.environ[name] for name in ("PATH",) if name in os.environ}
        path = [self.folders[peer]] + ([self.marks] if self.marks else []) + [ROOT, PYDEPS]
        environ.update(
            HOME=self.home,
            PYTHONPATH=os.pathsep.join(path),
            # Same hashes in every process: the same dict layouts, so the
            # same instruction counts from run to run.
            PYTHONHASHSEED="0",
            LC_ALL="C.UTF-8",
            MLFLOW_EXPERIMENT_ID="1",
            MLFLOW_RUN_ID="bench-run",
        )
        environ.update(self.extra_env)
        return environ

    def run(self, peer, config, prefix=(), timeout=900):
        config = dict(config, peer=peer)
        command = list(prefix) + [sys.executable, "-c", self.source, json.dumps(config)]
        done = subprocess.run(command, cwd=self.neutral, env=self.environment(peer),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=timeout)
        if done.returncode != 0:
            tail = "\n".join(done.stderr.strip().splitlines()[-6:])
            raise ChildFailed("%s child failed (status %d):\n%s" % (peer, done.returncode, tail))
        return json.loads(done.stdout.strip().splitlines()[-1])

    def time(self, peer, rows, target):
        return self.run(peer, {"mode": "time", "rows": rows, "target": target,
                               "repeat": REPEAT})

    def count(self, peer, rows, counts, keep=None):
        """{row: instructions per call} of one callgrind run of the peer."""
        dumps = tempfile.mkdtemp(prefix="vesk-bench-cg-")
        try:
            prefix = ["valgrind", "--tool=callgrind", "-q",
                      "--callgrind-out-file=" + os.path.join(dumps, "cg.out")]
            self.run(peer, {"mode": "count", "rows": rows, "counts": counts}, prefix)
            totals = read_dumps(dumps, peer, keep)
        finally:
            shutil.rmtree(dumps, ignore_errors=True)
        found = {}
        for row in rows:
            if row == "import":
                if "import" in totals:
                    found[row] = totals["import"] - totals["empty"]
            elif row + " 2N" in totals:
                found[row] = (totals[row + " 2N"] - totals[row + " N"]) / float(counts[row])
        return found


TRIGGER = "desc: Trigger: Client Request: "


def read_dumps(folder, peer, keep):
    """{label: instructions} of callgrind's dumps in `folder`; copies them to
    `keep` as <peer>.<label>.out when asked."""
    totals = {}
    for name in os.listdir(folder):
        if not re.match(r"cg\.out\.\d+$", name):
            continue  # the dump at the end of the process
        path = os.path.join(folder, name)
        label = summary = None
        with open(path) as f:
            for line in f:
                if line.startswith(TRIGGER):
                    label = line[len(TRIGGER):].strip()
                elif line.startswith("summary:"):
                    summary = int(line.split()[1])
                if label is not None and summary is not None:
                    break
        if label is None or summary is None:
            continue
        totals[label] = summary
        if keep:
            shutil.copyfile(path, os.path.join(
                fresh_folder(keep), "%s.%s.out" % (peer, label.replace(" ", "-"))))
    return totals


def best_of_rounds(runner, peers, rows, rounds, target, failures):
    """{peer: {row: best seconds}}, the peers interleaved in each round."""
    best = {peer: {} for peer in peers}
    checks = {}
    for _ in range(rounds):
        for peer in peers:
            if peer in failures:
                continue
            try:
                result = runner.time(peer, rows, target)
            except ChildFailed as error:
                failures[peer] = str(error)
                continue
            checks[peer] = result["checks"]
            for row, seconds in result["rows"].items():
                best[peer][row] = min(best[peer].get(row, float("inf")), seconds)
    return best, checks


def count_all(runner, peers, rows, counts, keep, failures):
    found = {}
    for peer in peers:
        if peer in failures:
            continue
        try:
            found[peer] = runner.count(peer, rows, counts, keep)
        except ChildFailed as error:
            failures[peer] = str(error)
    return found


def compare_checks(checks):
    """Lines naming the results where a peer differs from the native build."""
    lines = []
    reference = checks.get("native", {})
    for peer in ("python", "cython"):
        for key, value in sorted(checks.get(peer, {}).items()):
            if key in reference and reference[key] != value:
                lines.append("  %s differs from native: %s = %r, native %r"
                             % (peer, key, value, reference[key]))
    return lines


# ------------------------------------------------------------- printing --


def ns(seconds):
    value = seconds * 1e9
    return "{:,.1f}".format(value) if value < 1000 else "{:,.0f}".format(value)


def instructions(count):
    return "{:,.0f}".format(count) if count >= 100 else "{:,.1f}".format(count)


def ratio(value, native):
    if value is None or not native:
        return "-"
    return "%.2f" % (value / native)


def print_table(title, rows, peers, values, show, unavailable):
    """One row per key: the native value, then per other peer its value and
    its ratio to native."""
    widths = [30, 11] + [11, 6] * (len(peers) - 1)
    head = [title, peers[0]]
    for peer in peers[1:]:
        head += [peer, "x nat"]
    print(format_line(head, widths))
    for key, label in rows:
        native = values.get(peers[0], {}).get(key)
        cells = [label, show(native) if native is not None else na(peers[0], unavailable)]
        for peer in peers[1:]:
            value = values.get(peer, {}).get(key)
            if value is None:
                cells += [na(peer, unavailable), "-"]
            else:
                cells += [show(value), ratio(value, native)]
        print(format_line(cells, widths))


def na(peer, unavailable):
    return "n/a" if peer in unavailable else "-"


def format_line(cells, widths):
    line = cells[0].ljust(widths[0])
    for cell, width in zip(cells[1:], widths[1:]):
        line += " " + cell.rjust(width)
    return line.rstrip()


# ------------------------------------------------------------- sections --


def make_home(parent, tokens=None):
    home = tempfile.mkdtemp(prefix="home-", dir=parent)
    folder = os.path.join(home, ".talvero")
    os.mkdir(folder, 0o700)
    with open(os.path.join(folder, "secret.file"), "w") as f:
        f.write("[secret]\nemail = %s\npassword = %s\n\n" % (EMAIL, PASSWORD))
    if tokens is not None:
        with open(os.path.join(folder, "tokens.file"), "w") as f:
            f.write("[TOKENS]\naccess_token = %s\nrefresh_token = %s\n\n" % tokens)
    return home


def login(url):
    """(access, refresh) tokens from the local account server."""
    from urllib.parse import urlencode
    from urllib.request import urlopen

    body = urlencode({"email": EMAIL, "password": PASSWORD}).encode()
    with urlopen(url + "/auth/login", data=body, timeout=30) as answer:
        tokens = json.loads(answer.read().decode())
    return tokens["access_token"], tokens["refresh_token"]


def module_section(args, folders, marks, work, unavailable, notes):
    rows = [key for key in args.rows if key != "token"]
    if not rows:
        return
    peers = [peer for peer in PEERS if peer in folders]
    failures = {}
    runner = Runner(folders, marks, make_home(work), fresh_folder(os.path.join(work, "cwd")))
    started = time.time()
    times, checks = best_of_rounds(runner, peers, rows, args.rounds, TARGET_SECONDS, failures)
    if "import" in rows:
        # One import per process, and its time wanders with the state of
        # the caches: more processes that do nothing else, for a steadier best.
        extra, _ = best_of_rounds(runner, [peer for peer in peers if peer != "partial"],
                                  ["import"], args.rounds * IMPORT_ROUNDS_PER_ROUND,
                                  TARGET_SECONDS, failures)
        for peer, found in extra.items():
            if "import" in found:
                times[peer]["import"] = min(times[peer].get("import", float("inf")),
                                            found["import"])
    counted = {}
    if marks:
        counts = {key: n for key, _, n in ROWS if n is not None}
        counted = count_all(runner, peers, rows, counts, args.keep_callgrind, failures)
    for peer, why in sorted(failures.items()):
        notes.append(why)
        unavailable[peer] = True
    labelled = [(key, label) for key, label, _ in ROWS if key in rows]
    print()
    print_table("ns per call (best of %d)" % args.rounds, labelled, peers, times, ns, unavailable)
    if marks:
        print()
        print_table("instructions per call", labelled, peers, counted, instructions,
                    unavailable)
    differences = compare_checks(checks)
    if differences:
        print()
        print("behaviour differs between peers:")
        for line in differences:
            print(line)
    print("(%.0f s)" % (time.time() - started))
    sys.stdout.flush()


def token_section(args, folders, marks, work, notes):
    if "token" not in args.rows:
        return
    sys.path.insert(0, TOOLS)
    from account_server import AccountServer

    server = AccountServer({EMAIL: PASSWORD}).start()
    try:
        home = make_home(work, tokens=login(server.url))
        logins = server.login_requests
        runner = Runner(folders, marks, home, fresh_folder(os.path.join(work, "cwd")),
                        {"TALVERO_API_URL": server.url})
        failures = {}
        started = time.time()
        times, _ = best_of_rounds(runner, TOKEN_PEERS, ["token"], args.rounds,
                                  TOKEN_TARGET_SECONDS, failures)
        # The network path makes single counts wander by a percent or two
        # (buffer sizes, heap state): the least of a few runs per peer.
        counted = {}
        for _ in range(TOKEN_COUNT_RUNS if marks else 0):
            for peer, rows in count_all(runner, TOKEN_PEERS, ["token"],
                                        {"token": TOKEN_ROW[2]}, args.keep_callgrind,
                                        failures).items():
                if "token" in rows:
                    best = counted.setdefault(peer, {"token": rows["token"]})
                    best["token"] = min(best["token"], rows["token"])
        if server.login_requests != logins:
            notes.append("get_token() logged in again during the measurement: "
                         "the cached path was not the one measured")
    finally:
        server.stop()
    for why in failures.values():
        notes.append(why)
    print()
    print("get_token() on the cached path, local account server (%s)" % server.url)
    print("by hand: the same calls written in Python: ConfigParser + isfile + bounded read of "
          "the secret file,\n  exists(TOKENS_FILE), two bounded ConfigParser reads of the "
          "tokens file, the URL check (the twin's),\n  requests.get(.../auth/authenticate, "
          "auth=..., allow_redirects=False, stream=True, timeout=...),\n  close(), status "
          "check, a third read of the tokens file\n  (bounded read: os.open without blocking, "
          "fstat, os.read, TextIOWrapper decode, read_string)")
    widths = [30, 13, 13, 7, 16]
    print(format_line(["get_token()", "native", "by hand", "x nat", "native - hand"], widths))
    for title, values, show in (("ns per call (best of %d)" % args.rounds, times, ns),
                                ("instructions per call (least of %d)" % TOKEN_COUNT_RUNS,
                                 counted, instructions)):
        native = values.get("native", {}).get("token")
        hand = values.get("hand", {}).get("token")
        if native is None and hand is None:
            continue
        own = "-"
        if native is not None and hand is not None:
            own = "%s (%.1f%%)" % (show(native - hand) if native >= hand
                                   else "-" + show(hand - native),
                                   100.0 * (native - hand) / native)
        print(format_line([title, show(native) if native is not None else "-",
                           show(hand) if hand is not None else "-",
                           ratio(hand, native), own], widths))
    print("(%.0f s)" % (time.time() - started))


def main():
    args = parse_arguments()
    folder = fresh_folder(build_folder())
    folders = {"partial": fresh_folder(os.path.join(folder, "none"))}
    folders["native"], native_library = prepare_native(folder)
    folders["hand"] = folders["native"]
    folders["python"] = prepare_python(folder)
    cython_folder, cython_note = prepare_cython(folder)
    unavailable = {}
    if cython_folder:
        folders["cython"] = cython_folder
    else:
        unavailable["cython"] = True
    if args.one_set:
        folders["one-set"] = prepare_one_set(folder)
    marks, marks_note = (None, "--no-callgrind") if args.no_callgrind else prepare_marks(folder)

    print("vandrel peer benchmark: %s %s (%s)" % (
        platform.python_implementation(), platform.python_version(), sys.executable))
    print("load average at start: %s" % load_average())
    print("native   %s" % native_library)
    print("python   bench/vandrel_twin.py")
    print("cython   %s" % ("bench/vandrel_twin.py compiled by %s (gcc -O2)" % cython_note
                           if cython_folder else "n/a: " + cython_note))
    print("partial  functools.partial, in the decorator's rows")
    if args.one_set:
        print("one-set  the native module built with VESK_CACHE_ONE_SET=ON")
    print("x nat    peer / native: above 1, native is faster")
    print("times    best of %d rounds: one process per peer and round, the peers interleaved"
          % args.rounds)
    print("         (import: best of %d processes per peer)"
          % (args.rounds * (1 + IMPORT_ROUNDS_PER_ROUND)))
    if marks:
        print("counts   callgrind, (I(2N) - I(N)) / N per call; import: its own stretch "
              "less an empty one")
    else:
        print("counts   none (%s)" % marks_note)
    print("*        cyan_print rebound to a no-op in every peer: the call without the "
          "printing")
    sys.stdout.flush()  # the tables take minutes: show what runs meanwhile
    notes = []
    work = tempfile.mkdtemp(prefix="vesk-bench-")
    try:
        module_section(args, folders, marks, work, unavailable, notes)
        token_section(args, folders, marks, work, notes)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for note in notes:
        print()
        print("note: " + note)
    print()
    print("load average at end: %s" % load_average())
    return 1 if notes else 0


if __name__ == "__main__":
    sys.exit(main())
