#!/usr/bin/env python3
"""Splits a callgrind profile of one thread between libcurl and the rest.

    callgrind_split.py PROFILE PROGRAM

Prints the total Ir, libcurl's share (every call from our code into an
object whose name holds "libcurl", with all it calls, less the callbacks it
makes back into our code) and the cost of each function of ours (in PROGRAM
or libdravCommon), highest first. smallcall_cost.sh subtracts two profiles
to get figures per call.
"""
import collections
import re
import sys

NAME = re.compile(r"^\((\d+)\)(?: (.*))?$")


def names(table, text):
    """Resolves callgrind's "(id) name" compression."""
    m = NAME.match(text)
    if not m:
        return text
    if m.group(2) is not None:
        table[m.group(1)] = m.group(2)
    return table.get(m.group(1), text)


HELPERS = ("libc.so", "libc-", "libstdc++", "libgcc_s", "libm.so", "ld-linux")


def kind(obj, program):
    if "libcurl" in obj:
        return "curl"
    if obj.endswith("/" + program) or "libdravCommon" in obj:
        return "ours"
    if any(h in obj for h in HELPERS):
        return "helper"
    if "libbenchmark" in obj:
        return "harness"
    return "other"


def split(path, program):
    """Total Ir, libcurl's Ir, and per function of ours: its own Ir plus
    what it spent in the C and C++ libraries and in libraries other than
    libcurl that it called itself."""
    objs, fns = {}, {}
    ob = fn = cob = cfn = ""
    total = into_curl = back_out = 0
    ours = collections.Counter()
    pending_call = False
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            key, _, value = line.partition("=")
            if key == "ob":
                ob = names(objs, value)
            elif key == "fn":
                fn = names(fns, value)
                cob = ""
            elif key == "cob":
                cob = names(objs, value)
            elif key == "cfn":
                cfn = names(fns, value)
            elif key == "calls":
                pending_call = True
            elif line[0].isdigit() or line[0] in "+-*":
                fields = line.split()
                cost = int(fields[-1]) if len(fields) > 1 else 0
                caller = kind(ob, program)
                if pending_call:
                    callee = kind(cob or ob, program)
                    if caller == "ours" and callee == "curl":
                        into_curl += cost
                    elif caller == "curl" and callee == "ours":
                        back_out += cost
                    elif caller == "ours" and callee in ("helper", "other") and fn not in ("(below main)", "main"):
                        ours[fn] += cost
                    pending_call = False
                    cob = ""
                else:
                    total += cost
                    if caller == "ours":
                        ours[fn] += cost
    return total, into_curl - back_out, ours


def main():
    path, program = sys.argv[1], sys.argv[2]
    total, curl, ours = split(path, program)
    print(f"total {total}")
    print(f"libcurl {curl}")
    for fn, cost in ours.most_common():
        print(f"fn {cost} {fn}")


if __name__ == "__main__":
    main()
