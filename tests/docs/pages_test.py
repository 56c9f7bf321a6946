#!/usr/bin/env python3
"""Holds the README and the guides in docs/ to the tree and the programs:

- every C++ or CMake fragment is code the test command builds: its lines,
  in order, in one source file of the build or CMakeLists.txt of a project
  built against the package (comments and blanks aside);
- every option a command gives dravcall, dravbridge or dravdump, in a
  shell fragment or in the prose, is one that program's --help names;
- every file of the tree a page names exists, and every link between pages
  reaches a page and a heading that exist;
- the table of settings (docs/settings.md) holds every option and key of
  dravbridge with their defaults (man/check_pages.py --settings).

Usage: pages_test.py DRAVBRIDGE DRAVCALL DRAVDUMP
"""
import glob
import os
import re
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "man"))
import check_pages  # noqa: E402  (the manual pages' parsing of --help, reused)

FENCE = re.compile(r"^( *)```(\w*)\n(.*?)^\1```", re.M | re.S)
# Folders of the tree a page may name a file in.
TREE_PATH = re.compile(r"(?<![\w./<-])((?:bench|debian|docs|drav|examples|fuzz|host|man|packaging|scripts|tests|tools|win32)"
                       r"/[\w./-]*[\w/])")
LINK = re.compile(r"\]\(([^)\s]+)\)")


def pages():
    return [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))


def fragments(text, language):
    """The fenced blocks of a language, indentation removed."""
    found = []
    for indent, kind, body in FENCE.findall(text):
        if kind == language:
            found.append("\n".join(line[len(indent):] for line in body.split("\n")))
    return found


def code_lines(code, comment="//"):
    """Lines as compared: without comments and blanks, spaces collapsed."""
    lines = []
    for line in code.split("\n"):
        line = re.sub(r"(^|\s)%s.*$" % re.escape(comment), "", line)
        line = re.sub(r"\s+", " ", line).strip()
        if line:
            lines.append(line)
    return lines


def compiled_sources():
    """C++ sources of the build, and the CMake projects built against the
    installed package (examples/, packaging/consumer/)."""
    sources = {"cpp": {}, "cmake": {}}
    for folder in ("examples", "tests", "host", "tools", "drav"):
        for path in glob.glob(os.path.join(ROOT, folder, "**", "*.[ch]*"), recursive=True):
            if path.endswith((".cpp", ".h")):
                sources["cpp"][path] = code_lines(open(path, encoding="utf-8", errors="replace").read())
    for folder in ("examples", os.path.join("packaging", "consumer")):
        for path in glob.glob(os.path.join(ROOT, folder, "**", "CMakeLists.txt"), recursive=True):
            sources["cmake"][path] = code_lines(open(path, encoding="utf-8").read(), "#")
    return sources


def in_order(wanted, lines):
    at = 0
    for line in lines:
        if at < len(wanted) and line == wanted[at]:
            at += 1
    return at == len(wanted)


def check_code(page, text, sources):
    faults = []
    for language, comment in (("cpp", "//"), ("cmake", "#")):
        for code in fragments(text, language):
            wanted = code_lines(code, comment)
            if not any(in_order(wanted, lines) for lines in sources[language].values()):
                faults.append("%s: this %s fragment is in no file the test command builds:\n%s" % (page, language, code))
    return faults


def help_options(program):
    text = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    return set(check_pages.OPTION.findall(text))


def check_commands(page, text, programs):
    faults = []
    # Commands in the prose too: `dravcall --output FILE`.
    spans = re.findall(r"`((?:%s) [^`]*)`" % "|".join(programs), FENCE.sub("", text))
    for code in fragments(text, "sh") + spans:
        lines = [re.sub(r"(^|\s)#.*$", "", line) for line in code.replace("\\\n", " ").split("\n")]
        for command in (part for line in lines for part in re.split(r"&&|\|\||[;&|]|\$\(", line)):
            words = command.split()
            if not words:
                continue
            name = os.path.basename(words[0])
            if name in programs:
                for option in check_pages.OPTION.findall(" ".join(words[1:])):
                    if option not in programs[name]:
                        faults.append("%s: %s has no option %s (%s)" % (page, name, option, command.strip()))
    return faults


def headings(text):
    """The anchors of a page's headings, as GitHub makes them."""
    anchors = set()
    for title in re.findall(r"^#+ (.*)$", text, re.M):
        anchor = re.sub(r"[^\w\- ]", "", title.lower()).replace(" ", "-")
        anchors.add(anchor)
    return anchors


def check_names(page, text):
    faults = []
    prose = FENCE.sub("", text)
    for path in sorted(set(TREE_PATH.findall(text))):
        if "*" not in path and not os.path.exists(os.path.join(ROOT, path)):
            faults.append("%s: names %s, which is not in the tree" % (page, path))
    for header in sorted(set(re.findall(r"<(drav/[\w/.]+\.h)>", text))):
        if not any(os.path.exists(os.path.join(ROOT, folder, header)) for folder in (".", "host/include")):
            faults.append("%s: names the header <%s>, which is not in the tree" % (page, header))
    for link in LINK.findall(prose):
        if re.match(r"^[a-z]+:", link):
            continue
        target, _, anchor = link.partition("#")
        file = os.path.normpath(os.path.join(os.path.dirname(page), target)) if target else page
        if not os.path.exists(file):
            faults.append("%s: links to %s, which is not there" % (page, link))
        elif anchor and file.endswith(".md") and anchor not in headings(open(file, encoding="utf-8").read()):
            faults.append("%s: links to %s, which has no heading #%s" % (page, target or "itself", anchor))
    return faults


def main():
    dravbridge, dravcall, dravdump = sys.argv[1:4]
    programs = {"dravbridge": help_options(dravbridge), "dravcall": help_options(dravcall),
                "dravdump": help_options(dravdump)}
    sources = compiled_sources()
    faults = []
    for page in pages():
        text = open(page, encoding="utf-8").read()
        faults += check_code(page, text, sources)
        faults += check_commands(page, text, programs)
        faults += check_names(page, text)
    faults += check_pages.check_settings(dravbridge, os.path.join(ROOT, "packaging", "dravbridge.toml"),
                                         os.path.join(ROOT, "docs", "settings.md"))
    for fault in faults:
        print(fault, file=sys.stderr)
    print("%d faults" % len(faults) if faults else "pages: every fragment, name, link and setting holds")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
