#!/usr/bin/env python3
"""Writes dravbridge.toml(5) from the shipped configuration, whose comments
document every key: the opening comment is the description, a comment above
a table describes the table, one above a key describes the key, and a key
the file leaves out ("#key = value") is listed like the others.

Usage: toml_page.py EXAMPLE_TOML > dravbridge.toml.5
"""
import re
import sys

TABLE = re.compile(r"^#?(\[\[?([a-z_]+)\]\]?)$")
KEY = re.compile(r"^#?([a-z_]+) = (.*)$")


def roff(text):
    """Prose as roff text: backslashes and hyphens escaped, no line taken
    for a request."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def paragraph(comment):
    """Comment lines as roff: prose filled, lines indented further (an
    example) kept as they are."""
    out = []
    verbatim = False
    for line in comment:
        example = line.startswith("  ")
        if example != verbatim:
            out.append(".nf" if example else ".fi")
            verbatim = example
        out.append(roff(line))
    if verbatim:
        out.append(".fi")
    return out


def page(lines):
    out = [
        '.TH DRAVBRIDGE.TOML 5 "" "dravCommon" "File Formats"',
        ".SH NAME",
        "dravbridge.toml \\- configuration file of dravbridge",
        ".SH SYNOPSIS",
        ".I /etc/dravbridge/dravbridge.toml",
        ".SH DESCRIPTION",
    ]
    i = 0
    while i < len(lines) and lines[i].startswith("#"):
        out += paragraph([lines[i][2:]])
        i += 1
    out.append(".SH SETTINGS")
    out.append('.SS "The top level"')
    comment = []
    for line in lines[i:]:
        if line.startswith("# ") or line == "#":
            comment.append(line[2:])
        elif not line.strip():
            if comment:
                out.append(".PP")
                out += paragraph(comment)
            comment = []
        elif TABLE.match(line):
            out.append('.SS "%s"' % TABLE.match(line).group(1))
            out += paragraph(comment)
            comment = []
        elif KEY.match(line):
            key, value = KEY.match(line).groups()
            left_out = " (not set in the installed file)" if line.startswith("#") else ""
            out += [".TP", "\\fB%s\\fR = %s%s" % (key, roff(value), left_out)]
            out += paragraph(comment)
            comment = []
        else:
            raise SystemExit("toml_page.py: cannot place line: " + line)
    out += [
        ".SH SEE ALSO",
        ".BR dravbridge (1)",
    ]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as example:
        sys.stdout.write(page(example.read().split("\n")))
