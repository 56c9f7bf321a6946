#!/usr/bin/env python3
"""Plant single-line faults in the library's sources, one at a time, and count
how many the test suites catch.

Each mutant changes one line (a flipped comparison, a constant off by one, a
removed statement, swapped operands, && for ||, true for false, ...), the
dedicated build tree is rebuilt incrementally, and only the suites that
exercise the mutated folder run. A mutant that does not compile is discarded;
one whose object file comes out byte-identical is equivalent by construction;
one that makes a suite hang past the time-out counts as killed. The source is
always written back, even on Ctrl-C.

Not part of CI: run it before closing work that touches library code.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from collections import defaultdict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_EQUIVALENTS = os.path.join(ROOT, "scripts", "mutation-equivalents.txt")

# Which ctest entries exercise which source folder: the quick suites (about a
# second in all) always run; a slower one runs where its tests call into the
# folder's code, directly or through the layers above it. Generous on purpose:
# a suite left out would make a caught fault look like a survivor. The longest
# prefix wins.
QUICK = ["common", "config", "platform", "serialization", "hosting", "typed", "dravdump"]
SUITES = {
    "drav/common": ["compression", "transport", "win32"],
    "drav/compression": ["compression", "transport", "host", "e2e"],
    "drav/config": ["transport", "e2e"],
    "drav/hosting": ["host", "e2e"],
    "drav/platform": ["transport", "win32"],
    "drav/serialization": ["compression", "transport", "host", "e2e"],
    "drav/transport": ["transport", "e2e"],
    "drav/typed": ["e2e"],
    "win32/kernel32": ["win32", "transport", "host", "e2e"],
    "win32/oleauto": ["win32", "host", "e2e"],
    "win32/utf_text": ["win32", "transport", "host", "e2e"],
    "win32/wininet": ["win32", "transport", "e2e"],
    "host": ["host", "e2e"],
    "tools": ["e2e"],
}

# Operators: (pattern, replacement). Binary operators are matched with
# the blanks around them that the code style puts there, which keeps template
# brackets, shifts and arrows out.
IDENT = r"[A-Za-z_]\w*(?:\.\w+)*(?:\(\))?"
OPERATORS = [
    (r" < ", " <= "), (r" <= ", " < "),
    (r" > ", " >= "), (r" >= ", " > "),
    (r" == ", " != "), (r" != ", " == "),  # comparisons flipped at the bound or negated
    (r" && ", " || "), (r" \|\| ", " && "),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),  # && for ||, true for false
    (r" \+ ", " - "), (r" - ", " + "),
    (r" \+= ", " -= "), (r" -= ", " += "),
    (r"\+\+", "--"), (r"(?<!-)--(?!-)", "++"),  # arithmetic turned round
    (r"!(?=[\w(])", ""),  # a negation dropped
    # operands of a non-commutative operator swapped
    (r"(?<![\w.>\]:])(" + IDENT + r") (-|/|%|<|>|<=|>=) (" + IDENT + r")(?![\w.(\[-])", r"\3 \2 \1"),
]
INT_LITERAL = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)\b(?![.\w])")
STATEMENT_HEADS = ("return", "throw", "delete", "break", "continue")
DECLARATION = re.compile(r"^(?:const\s+|static\s+)*[\w:<>,*&\s]+?[\s*&]\w+\s*(?:=|\(|\{|;|\[)")


def mask(line, in_block):
    """Blank out string/char literals and comments so operators only match
    code; returns (masked line, still inside a block comment)."""
    out, i, n = [], 0, len(line)
    while i < n:
        if in_block:
            end = line.find("*/", i)
            if end < 0:
                out.append(" " * (n - i))
                return "".join(out), True
            out.append(" " * (end + 2 - i))
            i, in_block = end + 2, False
        elif line.startswith("//", i):
            out.append(" " * (n - i))
            break
        elif line.startswith("/*", i):
            in_block = True
        elif line[i] in "\"'":
            quote, j = line[i], i + 1
            while j < n and line[j] != quote:
                j += 2 if line[j] == "\\" else 1
            out.append(quote + "_" * (min(j, n) - i - 1) + (quote if j < n else ""))
            i = j + 1
        else:
            out.append(line[i])
            i += 1
    return "".join(out), in_block


def removable(code, previous):
    """A whole statement on one line whose removal can still compile."""
    s = code.strip()
    if not s.endswith(";") or s.count("(") != s.count(")") or "{" in s or "}" in s:
        return False
    if previous and previous[-1] not in ";{}:":
        return False  # the line continues a statement
    if re.match(r"(?:%s)\b" % "|".join(STATEMENT_HEADS), s):
        return True
    return not DECLARATION.match(s) and not s.startswith(("case ", "default", "using ", "public", "private"))


def mutants_of(path):
    """All mutants of one file: (line number, original line, mutated line)."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        lines = f.read().split("\n")
    found, in_block, previous = [], False, ""
    for number, line in enumerate(lines, 1):
        code, in_block = mask(line, in_block)
        s = code.strip()
        if not s or s.startswith("#") or "static_assert" in s or "#include" in s:
            continue
        variants = set()
        for pattern, replacement in OPERATORS:
            for m in re.finditer(pattern, code):
                variants.add(line[:m.start()] + m.expand(replacement) + line[m.end():])
        for m in INT_LITERAL.finditer(code):
            literal = m.group(1)
            value = int(literal, 16) if literal[1:2] in ("x", "X") else int(literal)
            for other in (value + 1, value - 1):
                if other >= 0:
                    text = str(other)
                    if literal[1:2] in ("x", "X"):
                        digits = "%x" % other
                        text = literal[:2] + (digits.upper() if literal[2:].isupper() else digits)
                    variants.add(line[:m.start(1)] + text + line[m.end(1):])
        if removable(code, previous):
            variants.add("")
        previous = s
        for mutated in sorted(variants):
            if mutated != line:
                found.append((number, line, mutated))
    return found


def folder_of(path):
    parts = path.split("/")
    return "/".join(parts[:2]) + "/" if parts[0] in ("drav", "host", "tools") else parts[0] + "/"


def suites_for(path):
    best = max((p for p in SUITES if path.startswith(p)), key=len, default=None)
    return QUICK + (SUITES[best] if best else [])


def key(path, original, mutated):
    return "\t".join((path, original.strip(), mutated.strip()))


def keys_of(mutant):
    """The mutant's key, and the same with the previous code line prefixed
    ("previous \\n original"), for a line whose text recurs in its file."""
    path, number, original, mutated = mutant
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        before = [l.strip() for l in f.read().split("\n")[:number - 1] if l.strip()]
    previous = before[-1] if before else ""
    return key(path, original, mutated), key(path, previous + " \\n " + original.strip(), mutated)


def read_keys(filename):
    """Entries of an equivalents or survivors file: path, original, mutated
    (tab-separated, whitespace-trimmed), anything after is a note."""
    entries = {}
    if filename and os.path.exists(filename):
        for row in open(filename, encoding="utf-8"):
            if row.strip() and not row.startswith("#"):
                cells = row.rstrip("\n").split("\t")
                cells += [""] * (4 - len(cells))
                entries[key(*cells[:3])] = cells[3]
    return entries


def sample(candidates, count, rng):
    """Spread evenly: cut the mutable lines (in file order) into `count`
    strata, take one line from each, then one mutant on that line."""
    by_line = defaultdict(list)
    for c in candidates:
        by_line[(c[0], c[1])].append(c)
    lines = sorted(by_line)
    if count >= len(lines):
        return [rng.choice(by_line[l]) for l in lines]
    picked = []
    for i in range(count):
        stratum = lines[len(lines) * i // count:len(lines) * (i + 1) // count]
        picked.append(rng.choice(by_line[rng.choice(stratum)]))
    return picked


class Tree:
    def __init__(self, build, jobs, timeout):
        self.build, self.jobs, self.timeout = build, jobs, timeout

    def configure(self):
        if os.path.exists(os.path.join(self.build, "build.ninja")):
            return
        args = ["cmake", "-S", ROOT, "-B", self.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=None",
                "-DCMAKE_CXX_FLAGS=-O1", "-DCMAKE_C_FLAGS=-O1"]
        if shutil.which("ccache"):
            args.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)

    def compile(self):
        r = subprocess.run(["cmake", "--build", self.build, "-j", str(self.jobs)],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return r.returncode == 0, r.stdout

    def object_hash(self, path):
        """Hash of the object file built from a source, or None."""
        if not path.endswith(".cpp"):
            return None
        tails = ("/" + path + ".o", "/" + path.split("/", 1)[1] + ".o")
        for top, _, files in os.walk(self.build):
            if "/tests" in top or "/tools" in top or "/fuzz" in top or "/bench" in top:
                continue
            for f in files:
                full = os.path.join(top, f)
                if full.endswith(tails):
                    with open(full, "rb") as obj:
                        return hashlib.sha256(obj.read()).hexdigest()
        return None

    def run_suites(self, suites):
        """'passed', 'failed' or 'timeout'."""
        pattern = "^(" + "|".join(suites) + ")$"
        proc = subprocess.Popen(["ctest", "--test-dir", self.build, "-R", pattern, "--stop-on-failure"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            rc = proc.wait(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            return "timeout"
        return "passed" if rc == 0 else "failed"


def try_mutant(tree, mutant, baseline_hash):
    path, number, original, mutated = mutant
    full = os.path.join(ROOT, path)
    with open(full, encoding="utf-8", newline="") as f:
        saved = f.read()
    lines = saved.split("\n")
    if lines[number - 1] != original:
        return "stale"
    lines[number - 1] = mutated  # an emptied line keeps the line numbers
    try:
        with open(full, "w", encoding="utf-8", newline="") as f:
            f.write("\n".join(lines))
        ok, _ = tree.compile()
        if not ok:
            return "uncompiled"
        if baseline_hash and tree.object_hash(path) == baseline_hash:
            return "same-object"
        result = tree.run_suites(suites_for(path))
        return {"passed": "survived", "failed": "killed", "timeout": "timeout"}[result]
    finally:
        with open(full, "w", encoding="utf-8", newline="") as f:
            f.write(saved)


def source_files(folders, headers):
    suffixes = (".cpp", ".h") if headers else (".cpp",)
    files = []
    for folder in folders:
        for top, _, names in os.walk(os.path.join(ROOT, folder)):
            files += [os.path.relpath(os.path.join(top, n), ROOT) for n in names if n.endswith(suffixes)]
    return sorted(files)


def report(results, out):
    per = defaultdict(lambda: defaultdict(int))
    for mutant, outcome in results:
        per[folder_of(mutant[0])][outcome] += 1
    print("\nfolder                 killed/judged  rate   equivalent  uncompiled", file=out)
    for folder in sorted(per):
        c = per[folder]
        killed = c["killed"] + c["timeout"]
        judged = killed + c["survived"]
        rate = f"{100.0 * killed / judged:5.1f}%" if judged else "   - "
        print(f"{folder:22} {killed:6}/{judged:<6}  {rate}  {c['equivalent'] + c['same-object']:10}"
              f"  {c['uncompiled']:10}", file=out)
    survivors = [m for m, outcome in results if outcome == "survived"]
    if survivors:
        print("\nsurvivors:", file=out)
        for path, number, original, mutated in survivors:
            print(f"{path}:{number}\n  - {original.strip()}\n  + {mutated.strip() or '(removed)'}", file=out)
    return survivors


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("folders", nargs="*", default=["drav", "win32"],
                   help="folders or files to mutate (default: drav win32; host/ only when named)")
    p.add_argument("-n", "--sample", type=int, default=200, help="number of mutants (default 200)")
    p.add_argument("--seed", type=int, default=1, help="random seed of the sample (default 1)")
    p.add_argument("--headers", action="store_true", help="mutate headers too (each costs a wide rebuild)")
    p.add_argument("--equivalents", default=DEFAULT_EQUIVALENTS, help="mutants judged equivalent")
    p.add_argument("--only", help="run exactly the mutants listed in this file (as --survivors writes it)")
    p.add_argument("--survivors", help="write the surviving mutants to this file")
    p.add_argument("--build", default=os.path.join(ROOT, "build", "mutation"), help="build tree")
    p.add_argument("--timeout", type=int, default=60, help="seconds the suites may take per mutant")
    p.add_argument("-j", "--jobs", type=int, default=2)
    args = p.parse_args()

    files = [f for f in source_files(args.folders, args.headers)] + \
        [os.path.relpath(os.path.abspath(f), ROOT) for f in args.folders if os.path.isfile(f)]
    dirty = subprocess.run(["git", "status", "--porcelain", "--"] + files, cwd=ROOT,
                           stdout=subprocess.PIPE, text=True, check=True).stdout
    if dirty.strip():
        sys.exit("refusing to start: uncommitted changes in\n" + dirty)
    candidates = [(f,) + m for f in files for m in mutants_of(f)]
    rng = random.Random(args.seed)
    if args.only:
        wanted = read_keys(args.only)
        chosen = [c for c in candidates if key(*(c[0], c[2], c[3])) in wanted]
    else:
        chosen = sample(candidates, args.sample, rng)
    equivalents = read_keys(args.equivalents)

    tree = Tree(args.build, args.jobs, args.timeout)
    tree.configure()
    ok, log = tree.compile()
    if not ok:
        sys.exit("the unchanged tree does not build:\n" + log[-3000:])
    suites = sorted({s for c in chosen for s in suites_for(c[0])})
    if tree.run_suites(suites) != "passed":
        sys.exit("the unchanged tree fails its suites: " + ", ".join(suites))
    hashes = {f: tree.object_hash(f) for f in {c[0] for c in chosen}}

    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    results = []
    print(f"{len(chosen)} mutants of {len(candidates)} in {len(files)} files", flush=True)
    try:
        for i, mutant in enumerate(chosen, 1):
            started = time.time()
            if any(k in equivalents for k in keys_of(mutant)):
                outcome = "equivalent"
            else:
                outcome = try_mutant(tree, mutant, hashes[mutant[0]])
            results.append((mutant, outcome))
            print(f"[{i}/{len(chosen)}] {outcome:11} {mutant[0]}:{mutant[1]}  {mutant[2].strip()}  ->  "
                  f"{mutant[3].strip() or '(removed)'}  ({time.time() - started:.0f} s)", flush=True)
    except KeyboardInterrupt:
        print("interrupted; the sources are restored", flush=True)
    survivors = report(results, sys.stdout)
    if args.survivors:
        with open(args.survivors, "w", encoding="utf-8") as f:
            f.write("# path\toriginal line\tmutated line (tab-separated, blanks trimmed)\n")
            for path, _, original, mutated in survivors:
                f.write(key(path, original, mutated) + "\n")


if __name__ == "__main__":
    main()
