"""The package's exceptions: one class per kind of failure, under one base."""

from __future__ import annotations

from typing import Any, Optional


class Error(Exception):
    """Base of every hwtables error.

    ``message`` is the one line the tool would print; ``detail`` keeps the
    system's own text when the message translates one (an assertion, a key's
    range message); ``reply`` is the agent's whole reply (as ``--json`` gives it)
    for a command that was refused or failed, else None.
    """

    kind = "check"

    def __init__(self, message: str, detail: str = "", reply: Optional[dict] = None):
        super().__init__(message)
        self.message = message
        self.detail = detail
        self.reply = reply


class UsageError(Error, ValueError):
    """Bad input: an unknown table, field or command, a malformed key or value.
    Nothing was changed."""

    kind = "usage"


class RangeError(Error, ValueError):
    """A value outside its range: a field value wider than its field, a key the chip
    has no row for, a FAP id above 255. Nothing was changed."""

    kind = "range"


class AssertionFailed(Error):
    """One of the tables' own checks refused the request."""

    kind = "assertion"


class CorruptionError(Error):
    """A store is damaged: its contents cannot be trusted."""

    kind = "corruption"


class CheckFailed(Error):
    """Work that ran and failed its check: an audit that found differences, a
    download that left entries unwritten, a shadow that could not be read."""

    kind = "check"


class ChipError(CheckFailed):
    """The chip refused a command, or is gone (killed, restarted, unreachable)."""

    kind = "chip"


class Busy(CheckFailed):
    """Another process holds what is needed (another agent writes the same stores)."""

    kind = "busy"


_BY_KIND = {cls.kind: cls for cls in (UsageError, RangeError, AssertionFailed,
                                      CorruptionError, CheckFailed, ChipError, Busy)}


def _raise(kind: str, message: str, detail: str = "", reply: Any = None) -> None:
    """Raises the exception of ``kind`` (called by the extension)."""
    raise _BY_KIND.get(kind, CheckFailed)(message, detail, reply)
