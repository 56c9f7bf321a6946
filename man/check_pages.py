#!/usr/bin/env python3
"""Holds the manual pages to what the programs and the configuration say:

  check_pages.py PROGRAM PAGE    every option PROGRAM --help names (and each
                                 value kind) has an entry in PAGE, PAGE has
                                 none it does not name, and each "(default X)"
                                 of --help is the page's too
  check_pages.py --toml EXAMPLE PAGE
                                 PAGE lists exactly the keys of the shipped
                                 configuration EXAMPLE, table by table, with
                                 its values
"""
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z-]*[a-z]|-DRAV[a-z_]+)")


def plain(roff):
    """Page text without roff's font changes and escapes."""
    text = re.sub(r"\\f[BIRP]", "", roff)
    return text.replace("\\-", "-").replace("\\&", "").replace("\\e", "\\")


def entries(page):
    """Each .TP entry of the page: (its head line, its text)."""
    lines = page.split("\n")
    found = []
    for i, line in enumerate(lines):
        if line == ".TP" and i + 1 < len(lines):
            body = []
            for following in lines[i + 2:]:
                if following.startswith((".TP", ".SH", ".SS", ".PP")):
                    break
                body.append(following)
            found.append((plain(lines[i + 1]), plain(" ".join(body))))
    return found


def help_defaults(help_text):
    """Option -> the X of its "(default X)", over continued lines."""
    joined = re.sub(r"\n {10,}", " ", help_text)
    defaults = {}
    for line in joined.split("\n"):
        option = re.match(r"\s+(--[a-z-]+)", line)
        default = re.search(r"\(default:? ([^)]*)\)", line)
        if option and default:
            defaults[option.group(1)] = default.group(1)
    return defaults


def check_program(program, page_file):
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    page = open(page_file, encoding="utf-8").read()
    faults = []
    documented = {}
    for head, body in entries(page):
        for option in OPTION.findall(head):
            documented[option] = head + " " + body
    named = set(OPTION.findall(help_text))
    for option in sorted(named - set(documented)):
        faults.append("%s: --help names %s, the page has no entry for it" % (page_file, option))
    for option in sorted(set(documented) - named):
        faults.append("%s: an entry for %s, which --help does not name" % (page_file, option))
    for option, default in help_defaults(help_text).items():
        entry = re.sub(r"\s+", " ", documented.get(option, ""))
        if option in documented and "default " + default not in entry and "default: " + default not in entry:
            faults.append("%s: %s defaults to %s (--help), the page says: %s" % (page_file, option, default, entry))
    # The value kinds ("int:N", "bin:@FILE") of the programs that take values.
    values = help_text.partition("Values are KIND:VALUE words:")[2]
    for kind in sorted(set(re.findall(r"(?<![\w-])([a-z0-9]+):(?=[A-Z@0-9t]|\s)", values))):
        if kind + ":" not in plain(page):
            faults.append("%s: --help has the value kind %s:, the page does not" % (page_file, kind))
    return faults


def toml_keys(lines, table_pattern, key_pattern):
    keys = []
    table = ""
    for line in lines:
        header = re.match(table_pattern, line)
        key = re.match(key_pattern, line)
        if header:
            table = header.group(1) + "."
        elif key:
            keys.append((table + key.group(1), key.group(2)))
    return keys


def check_toml(example_file, page_file):
    example = open(example_file, encoding="utf-8").read().split("\n")
    page = plain(open(page_file, encoding="utf-8").read()).split("\n")
    in_file = toml_keys(example, r"^#?\[\[?([a-z_]+)\]\]?$", r"^#?([a-z_]+) = (.*)$")
    on_page = toml_keys(page, r'^\.SS "\[\[?([a-z_]+)\]\]?"$', r"^([a-z_]+) = (.*?)(?: \(not set in the installed file\))?$")
    if in_file == on_page:
        return []
    return ["%s: the keys and values differ from %s:\n  file: %s\n  page: %s" % (page_file, example_file, in_file, on_page)]


if __name__ == "__main__":
    if sys.argv[1] == "--toml":
        faults = check_toml(sys.argv[2], sys.argv[3])
    else:
        faults = check_program(sys.argv[1], sys.argv[2])
    for fault in faults:
        print(fault, file=sys.stderr)
    sys.exit(1 if faults else 0)
