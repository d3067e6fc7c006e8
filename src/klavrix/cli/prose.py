"""Code without prose: source text with its comments, docstrings and the text of its string
literals taken out, so that only code can move a keyword score.

A string literal becomes an empty literal with its prefix and quotes (`b"\\x00"` -> `b""`); an
f-string keeps its expressions, fields nested in a format specifier included
(`f"{total:>{width}} items"` -> `f"{total}{width}"`); a docstring goes entirely. Every line
break stays where it was (inside a literal that spanned lines), so a unit is cut out of its
file's stripped text by the same line numbers as out of the source, and stripped code still
parses.

The scanner is one regular expression that finds the next comment or string literal (the
code between them is copied as it stands); only f-strings, whose expressions may hold strings of
their own, are walked character by character.
"""

from __future__ import annotations

import re
from typing import Mapping

# The next comment, or a whole string literal from its opening quote; an unterminated one runs
# to the end of its line (one quote) or of the text (three quotes). No capturing groups: they
# would keep the engine from skipping ahead to the next "#" or quote.
_COMMENT_OR_STRING = re.compile(r'''
    \#[^\n]*
  | """ [^"\\]* (?: (?: \\. | "(?!"") ) [^"\\]* )* (?: """ | \Z )
  | \'\'\' [^'\\]* (?: (?: \\. | '(?!'') ) [^'\\]* )* (?: \'\'\' | \Z )
  | " [^"\\\n]* (?: \\. [^"\\\n]* )* "?
  | ' [^'\\\n]* (?: \\. [^'\\\n]* )* '?
''', re.VERBOSE | re.DOTALL)
_QUOTE = re.compile(r"'''|\"\"\"|'|\"")
_PREFIX_LETTERS = frozenset("rRbBuUfF")
# Runs that need no attention inside an f-string's literal text and inside its expressions.
_FSTRING_TEXT = re.compile(r"[^\\{}\n'\"]+")
_EXPRESSION_TEXT = re.compile(r"[^'\"#{}()\[\]!:\n\\]+")
_OPENING = "([{"
_CLOSING = ")]}"


def strip_prose(text: str, docstrings: Mapping[int, int] | None = None) -> str:
    """`text` without comments, string contents and docstrings; `docstrings` maps the offset
    where each docstring begins (its prefix included) to the offset where it ends."""
    out: list[str] = []
    append = out.append
    last = position = 0
    # The scan starts again after a docstring or an f-string, whose end the expression does not find.
    while position is not None:
        resume = None
        for match in _COMMENT_OR_STRING.finditer(text, position):
            start = match.start()
            first = text[start]
            if first == "#":
                append(text[last:start])
                last = match.end()
                continue
            prefix = _prefix_start(text, start) if start and text[start - 1] in _PREFIX_LETTERS else start
            if docstrings and prefix in docstrings:
                end = docstrings[prefix]
                append(text[last:prefix])
                append("\n" * text.count("\n", prefix, end))
                last = resume = end
                break
            append(text[last:start] or _apart(out))  # the prefix letters stay
            quote = first * 3 if text.startswith(first * 3, start) else first
            if prefix != start and "f" in text[prefix:start].lower():
                literal, last = _fstring(text, start + len(quote), quote, "r" in text[prefix:start].lower())
                append(literal)
                resume = last
                break
            last = match.end()
            append(_empty_literal(quote, text.count("\n", start, last)))
        position = resume
    append(text[last:])
    return "".join(out)


def _apart(out: list[str]) -> str:
    """A space between two literals that touch ("a""b"), which written empty would read as
    one triple quote."""
    return " " if out and out[-1].endswith(("'", '"')) else ""


def _empty_literal(quote: str, newlines: int) -> str:
    """An empty string literal in `quote`s that still spans `newlines` line breaks."""
    return quote + _line_breaks(quote, newlines) + quote


def _line_breaks(quote: str, newlines: int) -> str:
    # Inside one quote a line break must be escaped (a backslash continues the literal).
    return ("\n" if len(quote) == 3 else "\\\n") * newlines


def _prefix_start(text: str, quote: int) -> int:
    """Where the string literal whose quote is at `quote` begins: at its prefix letters, if the
    letters before the quote are a prefix rather than the end of a longer name."""
    start = quote
    while start > quote - 2 and start > 0 and text[start - 1] in _PREFIX_LETTERS:
        start -= 1
    if start > 0 and (text[start - 1].isalnum() or text[start - 1] == "_"):
        return quote
    return start


def _fstring(text: str, i: int, quote: str, raw: bool) -> tuple[str, int]:
    """(the f-string as `"{expression}..."` in its own quotes, plus its line breaks, the offset
    after it), for the f-string whose literal text starts at `i`."""
    kept = [quote]
    newlines = 0
    length = len(text)
    while i < length:
        if (run := _FSTRING_TEXT.match(text, i)) is not None:
            i = run.end()
            continue
        c = text[i]
        if text.startswith(quote, i):
            i += len(quote)
            break
        if c == "\\":
            following = text[i + 1:i + 2]
            if not raw and following == "N" and text.startswith("{", i + 2):  # \N{NAME}
                close = text.find("}", i + 3)
                i = length if close < 0 else close + 1
            elif following in ("{", "}", ""):
                i += 1  # the brace still opens or closes a field
            else:
                newlines += following == "\n"
                i += 2
        elif c == "\n":
            if len(quote) == 1:
                break  # unterminated
            newlines += 1
            i += 1
        elif c == "{" and not text.startswith("{{", i):
            field, i = _replacement_field(text, i + 1, quote)
            kept.append(field)
        elif c in "{}":
            i += 2 if text.startswith(c * 2, i) else 1
        else:  # the other quote character
            i += 1
    kept.append(_line_breaks(quote, newlines) + quote)
    return "".join(kept), i


def _replacement_field(text: str, i: int, quote: str) -> tuple[str, int]:
    """(`{expression}` and the fields of its format specifier, each stripped, the offset after the
    closing brace) for the field whose expression starts at `i`."""
    kept: list[str] = []
    start = i
    depth = 0
    length = len(text)
    while i < length:
        if (run := _EXPRESSION_TEXT.match(text, i)) is not None:
            i = run.end()
            continue
        c = text[i]
        if c in "'\"":
            prefix = _prefix_start(text, i)
            kept.append(text[start:i] or _apart(kept))
            inner_quote = _QUOTE.match(text, i).group()  # any quote opens a string of its own here
            letters = text[prefix:i].lower()
            if "f" in letters:
                literal, i = _fstring(text, i + len(inner_quote), inner_quote, "r" in letters)
            else:
                end = _COMMENT_OR_STRING.match(text, i).end()
                literal = _empty_literal(inner_quote, text.count("\n", i, end))
                i = end
            kept.append(literal)
            start = i
        elif c == "#":
            kept.append(text[start:i])
            end = text.find("\n", i)
            i = start = length if end < 0 else end
        elif c in _OPENING:
            depth += 1
            i += 1
        elif c in _CLOSING and depth > 0:
            depth -= 1
            i += 1
        elif c == "}" or (depth == 0 and (c == ":" or (c == "!" and not text.startswith("!=", i)))):
            kept.append(text[start:i])
            expression = "{" + "".join(kept) + "}"
            if c == "}":
                return expression, i + 1
            return _format_spec(text, i + 1, quote, expression)
        else:  # a closing bracket without its opening one, ":" or "!" inside brackets, "\", "\n"
            i += 1
    kept.append(text[start:i])
    return "{" + "".join(kept) + "}", i


def _format_spec(text: str, i: int, quote: str, expression: str) -> tuple[str, int]:
    """After the expression's "!" or ":": the conversion and the format specifier are text,
    except the replacement fields nested in the specifier, which are kept after the expression."""
    kept = [expression]
    newlines = 0
    length = len(text)
    while i < length:
        c = text[i]
        if c == "}":
            i += 1
            break
        if c == "{":
            field, i = _replacement_field(text, i + 1, quote)
            kept.append(field)
        elif text.startswith(quote, i) or (c == "\n" and len(quote) == 1):
            break  # unterminated
        else:
            newlines += c == "\n"
            i += 1
    kept.append("\n" * newlines)
    return "".join(kept), i
