"""Per-call cost of catch_tarnel_exception's wrapper beside the alternatives.

Prints, for one interpreter, the time of a call to the same function made
directly, through the decorator, through functools.partial (the
interpreter's own C-level wrapper) and through a plain Python wrapper with
the same behaviour; each as a positional, a keyword and a method call, with
its ratio to the direct call of the same form and to partial. Then the
per-call time of the run-context helpers and get_host_uri.

Every case is timed once per round, the rounds interleaved, and the best
round kept (as timeit's repeat/min), so that a burst of load on the machine
skews one round of all cases rather than all rounds of one case.

    make bench [PYTHON=...]        or   python bench/call_overhead.py [ROUNDS]
"""

import functools
import os
import platform
import sys
import timeit

from vesk.tracking.lite_extensions import vandrel

# The plain Python wrapper is the Python twin's decorator.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vandrel_twin import catch_tarnel_exception as python_wrapper  # noqa: E402

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 25
SECONDS_PER_TIMING = 0.05


def target(a, b):
    return a


class Obj:
    def direct(self, a, b):
        return a

    decorated = vandrel.catch_tarnel_exception(direct)
    python = python_wrapper(direct)

    def __init__(self):
        # partial has no __get__: it holds the instance itself, and sits on
        # the instance so that looking it up costs about what binding does.
        self.partial = functools.partial(Obj.direct, self)


KINDS = [  # (label, callable for plain calls, attribute of Obj for method calls)
    ("direct", target, "direct"),
    ("catch_tarnel_exception", vandrel.catch_tarnel_exception(target), "decorated"),
    ("functools.partial", functools.partial(target), "partial"),
    ("python wrapper", python_wrapper(target), "python"),
]
FORMS = [("positional", "f(1, 2)"), ("keyword", "f(1, b=2)"), ("method", "obj.{}(1, 2)")]
HELPERS = ["_get_experiment_id", "_get_run_id", "_runid_exists", "get_host_uri"]


def calibrated(stmt, namespace):
    timer = timeit.Timer(stmt, globals=namespace)
    number, seconds = timer.autorange()  # at least 0.2 s
    return timer, max(1, int(number * SECONDS_PER_TIMING / seconds))


def best_times(cases):
    """{key: best seconds per call} over ROUNDS interleaved rounds."""
    timers = {key: calibrated(stmt, namespace) for key, (stmt, namespace) in cases.items()}
    best = dict.fromkeys(cases, float("inf"))
    for _ in range(ROUNDS):
        for key, (timer, number) in timers.items():
            best[key] = min(best[key], timer.timeit(number) / number)
    return best


def main():
    obj = Obj()
    cases = {}
    for form, template in FORMS:
        for label, func, attribute in KINDS:
            cases[form, label] = (template.format(attribute), {"f": func, "obj": obj})
    for name in HELPERS:
        cases["helper", name] = ("f()", {"f": getattr(vandrel, name)})
    best = best_times(cases)

    print("%s %s (%s), best of %d rounds, load average %s" % (
        platform.python_implementation(), platform.python_version(), sys.executable, ROUNDS,
        "%.2f" % os.getloadavg()[0] if hasattr(os, "getloadavg") else "?"))
    print("%-24s %-11s %9s %9s %10s" % ("callable", "call", "ns/call", "x direct", "x partial"))
    for form, _ in FORMS:
        direct = best[form, "direct"]
        partial = best[form, "functools.partial"]
        for label, _, _ in KINDS:
            seconds = best[form, label]
            print("%-24s %-11s %9.1f %9.2f %10.2f" % (
                label, form, seconds * 1e9, seconds / direct, seconds / partial))
        print()
    print("%-24s %-11s %9s" % ("helper", "call", "ns/call"))
    for name in HELPERS:
        print("%-24s %-11s %9.1f" % (name, "no args", best["helper", name] * 1e9))


if __name__ == "__main__":
    main()
