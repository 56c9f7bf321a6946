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
  check_pages.py --settings DRAVBRIDGE EXAMPLE PAGE
                                 the table of settings in the Markdown PAGE
                                 has a row for every option of DRAVBRIDGE
                                 --help and every key of EXAMPLE, names no
                                 other, each key is one DRAVBRIDGE's reader
                                 takes, and each default is what --help and
                                 EXAMPLE say
"""
import os
import re
import subprocess
import sys
import tempfile

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


def settings_rows(page):
    """Each row of the page's table of settings: (options, key, default, the row)."""
    rows = []
    for line in page.split("\n"):
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) != 4 or not line.startswith("| ") or cells[0] in ("option", "---"):
            continue
        key = re.fullmatch(r"`([a-z_]+(?:\.[a-z_]+)?)`", cells[1])
        if not key and cells[1] != "\u2014":
            raise SystemExit("%s: a row whose key is neither `table.key` nor \u2014: %s" % (page, line))
        rows.append((OPTION.findall(cells[0]), key.group(1) if key else None, cells[2], line))
    return rows


def example_defaults(lines):
    """table.key -> its value, for the keys the example sets without saying
    the value is not the default."""
    values = {}
    table = ""
    not_default = False
    for line in lines:
        header = re.match(r"^\[\[?([a-z_]+)\]\]?$", line)
        key = re.match(r"^([a-z_]+) = (.*)$", line)
        if header:
            table = header.group(1) + "."
        elif key and not not_default:
            values[table + key.group(1)] = key.group(2)
        if line.startswith("# Not the default"):
            not_default = True
        elif not line.startswith("#"):
            not_default = False
    return values


def reader_refusal(program, key):
    """What dravbridge says of a configuration file that sets `key` to a
    table, which no key takes: "unknown key ..." when its reader has no
    such key."""
    table, _, name = key.rpartition(".")
    text = ("[[%s]]\n" % table if table == "bridge" else "[%s]\n" % table if table else "") + name + " = {}\n"
    with tempfile.TemporaryDirectory() as folder:
        file = os.path.join(folder, "probe.toml")
        with open(file, "w", encoding="utf-8") as out:
            out.write(text)
        run = subprocess.run([program, "--config", file, "--help"], capture_output=True, text=True, timeout=30)
    return run.stderr if run.returncode != 0 else ""


def check_settings(program, example_file, page_file):
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    example = open(example_file, encoding="utf-8").read().split("\n")
    rows = settings_rows(open(page_file, encoding="utf-8").read())
    faults = []
    named = set(OPTION.findall(help_text)) - {"--help"}
    in_rows = {option for options, _, _, _ in rows for option in options}
    for option in sorted(named - in_rows):
        faults.append("%s: --help names %s, the table has no row for it" % (page_file, option))
    for option in sorted(in_rows - named):
        faults.append("%s: a row for %s, which --help does not name" % (page_file, option))
    in_file = {key for key, _ in toml_keys(example, r"^#?\[\[?([a-z_]+)\]\]?$", r"^#?([a-z_]+) = (.*)$")}
    keys = [key for _, key, _, _ in rows if key]
    for key in sorted(in_file - set(keys)):
        faults.append("%s: %s holds the key %s, the table has no row for it" % (page_file, example_file, key))
    for key in sorted(set(keys) - in_file):
        faults.append("%s: a row for the key %s, which %s does not hold" % (page_file, key, example_file))
    for key in sorted(key for key in set(keys) if keys.count(key) > 1):
        faults.append("%s: the key %s has more than one row" % (page_file, key))
    # The reader itself: a key it lacks is "unknown", one it has refuses the table.
    if "unknown key" not in reader_refusal(program, "limits.no_such_key"):
        faults.append("%s: a key dravbridge lacks is not refused as unknown: the probe proves nothing" % program)
    for key in keys:
        refusal = reader_refusal(program, key)
        if not refusal or "unknown key" in refusal:
            faults.append("%s: dravbridge's configuration reader does not take %s: %s" % (page_file, key, refusal.strip()))
    defaults = help_defaults(help_text)
    values = example_defaults(example)
    for options, key, default, row in rows:
        for option in options:
            if option in defaults and defaults[option] not in default:
                faults.append("%s: %s defaults to %s (--help), the table says %s" % (page_file, option, defaults[option], default))
        if key in values and not default.startswith("`%s`" % values[key]):
            faults.append("%s: %s is %s in %s, the table's default is %s" % (page_file, key, values[key], example_file, default))
    return faults


if __name__ == "__main__":
    if sys.argv[1] == "--toml":
        faults = check_toml(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "--settings":
        faults = check_settings(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        faults = check_program(sys.argv[1], sys.argv[2])
    for fault in faults:
        print(fault, file=sys.stderr)
    sys.exit(1 if faults else 0)
