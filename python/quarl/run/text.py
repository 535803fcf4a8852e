"""Project texts as a terminal is shown them: partition values, asset names and error messages
come from user code, and a control character among them (an ANSI or OSC sequence, a carriage
return, a bidirectional override) would drive the terminal instead of being read."""

from __future__ import annotations

import re

# Every C0 and C1 control character and DEL, and the bidirectional controls that reorder what
# follows them on the screen; the second leaves out the newline.
_BEYOND_C0 = "\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069"
_CONTROL = re.compile(f"[\x00-\x1f{_BEYOND_C0}]")
_CONTROL_BUT_NEWLINE = re.compile(f"[\x00-\x09\x0b-\x1f{_BEYOND_C0}]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: re.Match[str]) -> str:
    char = match[0]
    if char in _NAMED:
        return _NAMED[char]
    return f"\\x{ord(char):02x}" if ord(char) < 0x100 else f"\\u{ord(char):04x}"


def printable(text: str, lines: bool = False) -> str:
    """`text` with its control characters written as Python writes them in a string ("\\x1b",
    "\\n", "\\u202e"); `lines` keeps the newlines of a message of several lines. Everything else,
    any script or symbol, stays as it is."""
    return (_CONTROL_BUT_NEWLINE if lines else _CONTROL).sub(_escape, text)
