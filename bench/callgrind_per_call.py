"""Per-call instructions of each function, from two callgrind stretches.

    python bench/callgrind_per_call.py DIR/native.secret-N.out DIR/native.secret-2N.out 200
        [--top K] [--match TEXT]

The two files are what `peer_benchmark.py --keep-callgrind DIR` keeps of a
row: the same statement run N, then 2N times. For every function,
callgrind_annotate's count in the second less the first, divided by N, is
what one call of the row spends in it: inclusive (the function and what it
calls) and self (its own instructions). Whatever each stretch runs once
(the timing loop's set-up, the marks) cancels out.

Prints the functions by inclusive count, largest first; --match keeps the
lines whose function name contains TEXT. With --callees TEXT, prints
instead, for each function whose name contains TEXT, its own count and
what each function it calls costs per call, with the calls per call: where
that function's instructions go. The functions still running when
callgrind dumps (the process's outer frames, the timing loop's callers)
show the whole stretch as their own: their self column means nothing.
"""

import argparse
import re
import subprocess
import sys

LINE = re.compile(r"^\s*([0-9,]+)\s+(?:\([^)]*\)\s+)?(.*\S)\s*$")


def short_name(entry):
    """'file:function [object]' as the function's name. A function whose
    code comes from several files (inlined helpers) has one line per file
    in callgrind_annotate's table; they add up under the one name. Names
    callgrind doesn't know (addresses) keep their object's base name."""
    obj = ""
    match = re.match(r"^(.*) \[(.*)\]$", entry)
    if match:
        entry, obj = match.group(1), match.group(2).rsplit("/", 1)[-1]
    # file:function; C++ names hold "::", so split at the first single colon.
    match = re.match(r"^((?:[^:]|::)*?):(?!:)(.*)$", entry)
    function = match.group(2) if match else entry
    return "%s [%s]" % (function, obj) if function.startswith("0x") and obj else function


def annotate(path, inclusive):
    """{function: instructions} of one callgrind file."""
    command = ["callgrind_annotate", "--auto=no", "--threshold=100", path]
    if inclusive:
        command.insert(1, "--inclusive=yes")
    output = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, check=True).stdout
    counts = {}
    in_table = False
    for line in output.splitlines():
        if line.startswith("Ir") and "file:function" in line:
            in_table = True
            continue
        if not in_table or line.startswith("-"):
            continue
        if not line.strip():
            break
        match = LINE.match(line)
        if not match:
            continue
        name = short_name(match.group(2))
        count = int(match.group(1).replace(",", ""))
        # A function's lines per file: own counts add up; each inclusive
        # line already holds all that the function calls, so keep the largest.
        counts[name] = max(counts.get(name, 0), count) if inclusive else counts.get(name, 0) + count
    return counts


CALL = re.compile(r"^(.*) \(([0-9,]+)x\)( \[.*\])?$")


def callees(path):
    """{function: {callee: [instructions, calls]}}, from the call tree."""
    command = ["callgrind_annotate", "--auto=no", "--threshold=100", "--inclusive=yes",
               "--tree=calling", path]
    output = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, check=True).stdout
    tree = {}
    current = None
    for line in output.splitlines():
        match = LINE.match(line)
        if not match:
            current = None
            continue
        count = int(match.group(1).replace(",", ""))
        rest = match.group(2)
        if rest.startswith("* "):
            current = tree.setdefault(short_name(rest[2:].strip()), {})
        elif rest.startswith("> ") and current is not None:
            call = CALL.match(rest[2:].strip())
            if call is None:
                continue
            name = short_name(call.group(1) + (call.group(3) or ""))
            entry = current.setdefault(name, [0, 0])
            entry[0] += count
            entry[1] += int(call.group(2).replace(",", ""))
    return tree


def print_callees(args):
    first, second = callees(args.n_file), callees(args.two_n_file)
    own = per_call(annotate(args.n_file, False), annotate(args.two_n_file, False), args.calls)
    for function in sorted(second):
        if args.callees not in function:
            continue
        called = {}
        for name in set(first.get(function, {})) | set(second[function]):
            if name == function:
                continue  # the same function's code from another (inlined) file
            a = first.get(function, {}).get(name, [0, 0])
            b = second[function].get(name, [0, 0])
            called[name] = ((b[0] - a[0]) / float(args.calls), (b[1] - a[1]) / float(args.calls))
        total = own.get(function, 0.0) + sum(cost for cost, _ in called.values())
        print("%10.1f  %s (per call: inclusive)" % (total, function))
        print("%10.1f    its own instructions" % own.get(function, 0.0))
        for name in sorted(called, key=lambda name: -called[name][0]):
            cost, count = called[name]
            if abs(cost) >= 0.5:
                print("%10.1f    %s (%gx)" % (cost, name, count))
        print()


def per_call(first, second, calls):
    return {name: (second.get(name, 0) - first.get(name, 0)) / float(calls)
            for name in set(first) | set(second)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("n_file")
    parser.add_argument("two_n_file")
    parser.add_argument("calls", type=int, help="N: calls in the first file")
    parser.add_argument("--top", type=int, default=40)
    parser.add_argument("--match", default="")
    parser.add_argument("--callees", metavar="TEXT")
    args = parser.parse_args()
    if args.callees:
        print_callees(args)
        return 0
    inclusive = per_call(annotate(args.n_file, True), annotate(args.two_n_file, True), args.calls)
    own = per_call(annotate(args.n_file, False), annotate(args.two_n_file, False), args.calls)
    names = [name for name in inclusive if args.match in name and abs(inclusive[name]) >= 0.5]
    names.sort(key=lambda name: -inclusive[name])
    print("%10s %10s  %s" % ("inclusive", "self", "function (per call)"))
    for name in names[:args.top]:
        print("%10.1f %10.1f  %s" % (inclusive[name], own.get(name, 0.0), name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
