#!/usr/bin/env python3
"""Doxygen input filter: reads the headers' plain // comments as documentation.

The headers keep the house style (a comment opening each file, a comment
above a declaration, a short note after a member); this turns them into what
Doxygen reads, line for line, so that its warnings name the header's lines:

  - the comment that opens the file documents the file, and also the classes
    it names first ("DRAVVar: ...", "DRAVCookie and DRAVCookies: ...");
  - a comment directly above a declaration at namespace or class scope
    documents it; a note after a declaration documents that declaration;
  - comments inside function bodies, and those a blank line parts from the
    code below them, stay comments;
  - namespace detail holds the headers' own helpers, and a header whose
    opening comment calls it internal is the library's own: their lines are
    left out (an internal header keeps its opening comment).

Text in comments is prose, not markup: "<ms>" is no HTML tag.

Usage (INPUT_FILTER): doc_comments.py HEADER  -> the filtered text on stdout.
"""
import re
import sys

SCOPE_OPENER = re.compile(r"\b(class|struct|union|enum|namespace)\b|extern\s+\"C\"")
FULL_COMMENT = re.compile(r"^(\s*)//(?![/!])\s?(.*)$")
# "DRAVVar: ...", "DRAVCookie and DRAVCookies: ...", "Base64::Codec: ..."
INTERNAL = re.compile(r"\bInternal\b|\bNot a public API\b")
NAMED_CLASSES = re.compile(r"^([A-Za-z_][\w:]*(?:(?:, | and )[A-Za-z_][\w:]*)*):")


def code_and_comment(line):
    """Splits a line at a // outside string and character literals."""
    quote = None
    i = 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        elif line.startswith("//", i):
            return line[:i], line[i:]
        i += 1
    return line, None


def prose(text):
    """Comment text with the characters Doxygen would take for markup
    escaped, outside `code` spans."""
    parts = text.split("`")
    for i in range(0, len(parts), 2):
        parts[i] = re.sub(r"([<>\\@#%&$])", r"\\\1", parts[i])
    return "`".join(parts)


class Scopes:
    """The open braces, each True for a namespace/class/enum scope and False
    for a body, and the namespaces and classes they are."""

    def __init__(self):
        self.stack = []
        self.names = []
        self.pending = ""  # the code since the last brace or semicolon

    def at_scope(self):
        return all(self.stack)

    def feed(self, code, declared):
        for c in code:
            if c == "{":
                opener = SCOPE_OPENER.search(self.pending)
                self.stack.append(bool(opener))
                name = re.search(r"\b(?:class|struct|namespace)\s+(?:DRAV_EXPORT\s+)?(\w+)", self.pending)
                self.names.append(name.group(1) if name else None)
                if name and opener.group(1) in ("class", "struct"):
                    declared.setdefault(name.group(1), "::".join(n for n in self.names if n))
                self.pending = ""
            elif c == "}":
                if self.stack:
                    self.stack.pop()
                    self.names.pop()
                self.pending = ""
            elif c == ";":
                self.pending = ""
            else:
                self.pending += c


def is_code(line):
    stripped = line.strip()
    return stripped.startswith("#define") or (bool(stripped) and not stripped.startswith(("//", "#")))


def doc_line(line):
    return FULL_COMMENT.sub(lambda m: m.group(1) + "/// " + prose(m.group(2)), line)


def filter_header(text):
    lines = text.split("\n")
    out = list(lines)
    scopes = Scopes()
    declared = {}  # class name -> its qualified name
    i = 0
    while i < len(lines) and FULL_COMMENT.match(lines[i]):
        out[i] = doc_line(lines[i])
        i += 1
    opening = [FULL_COMMENT.match(line).group(2) for line in lines[:i]]
    if i > 0:
        out[i - 1] += " \\file"
    if INTERNAL.search(" ".join(opening)):
        return "\n".join(out[:i] + [""] * (len(lines) - i))
    while i < len(lines):
        line = lines[i]
        if "detail" in scopes.names:
            out[i] = ""
            scopes.feed(code_and_comment(line)[0], declared)
            i += 1
            continue
        if FULL_COMMENT.match(line):
            block_end = i
            while block_end < len(lines) and FULL_COMMENT.match(lines[block_end]):
                block_end += 1
            if scopes.at_scope() and block_end < len(lines) and is_code(lines[block_end]):
                for j in range(i, block_end):
                    out[j] = doc_line(lines[j])
            i = block_end
            continue
        code, comment = code_and_comment(line)
        if comment and not comment.startswith(("///", "//!")) and code.strip() and scopes.at_scope():
            out[i] = code + "///< " + prose(comment[2:].lstrip())
        scopes.feed(code, declared)
        i += 1
    # The classes the opening comment names get it as theirs too, after the
    # last line so that no line moves.
    named = NAMED_CLASSES.match(opening[0]) if opening else None
    for name in re.split(r", | and ", named.group(1)) if named else []:
        qualified = declared.get(name.split("::")[-1])
        if qualified:
            out.append("/** \\class " + qualified)
            out.extend(" * " + prose(text) for text in opening)
            out.append(" */")
    return "\n".join(out)


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as header:
        sys.stdout.write(filter_header(header.read()))
