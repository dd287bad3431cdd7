"""Typed, shadowed access to the bcm88490_a0 MPLS tables from Python.

The same code as the ``hwtables`` tool, with the same answers as its ``--json``:

  tables(), table(name)       the catalogue: tables, key forms, fields, members
  Agent(...)                  an agent on the simulated chip (in this process, or a
                              chip process with chip=SOCKET): set, get, delete, schan,
                              download, read, audit, reconcile
  show(table, fap, root)      a memory shadow's entries, read from its store
  Shadow(table, fap, root)    the same shadow read again and again: show(), get(key)
  watch(table, fap, root)     an iterator of the store's change events
  Store(directory)            a store directory, read only: check(), entries()

Errors are exceptions of one class per kind under ``hwtables.Error``: UsageError,
RangeError, AssertionFailed, CorruptionError, CheckFailed (ChipError, Busy). A call
that raises UsageError or RangeError changed nothing.

From the build tree: ``PYTHONPATH=build/python python3 -c 'import hwtables'``.
docs/python.md has the whole interface.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Dict, Iterator, List, Optional, Sequence, Union

from hwtables._errors import (AssertionFailed, Busy, CheckFailed, ChipError,
                              CorruptionError, Error, RangeError, UsageError)
from hwtables import _hwtables

__all__ = [
    "Agent", "AssertionFailed", "Busy", "CheckFailed", "ChipError", "CorruptionError",
    "Error", "Field", "Key", "Member", "RangeError", "Shadow", "Store", "Table", "UsageError",
    "Watch", "default_root", "load_plugins", "show", "table", "tables", "watch",
]

REVISION = "bcm88490_a0"

KeyArg = Union[str, int, Sequence[int], Dict[str, int]]


def load_plugins(directory: str = "") -> dict:
    """Loads the table plug-ins from ``directory`` (default: $HWTABLES_PLUGIN_DIR, else
    the directory next to the libraries). Only the first load counts: later calls
    return its outcome, ``{"directory": ..., "errors": [(file, reason), ...]}``.
    Every function loads them when it needs them."""
    return _hwtables.load_plugins(directory)


def default_root() -> str:
    """The store root used when none is given: $HWTABLES_ROOT, else the user's."""
    return _hwtables.default_root()


# --- the catalogue ---------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Field:
    """A field of a table's entry: ``width`` bits at bit ``offset``."""

    name: str
    type: str
    kind: str  # "scalar", "indexed" or "bitmap"
    offset: int
    width: int
    stride: int = 0  # indexed fields: part i is at offset + i * stride
    count: int = 1

    def __repr__(self) -> str:
        bits = (f"{self.offset}" if self.width == 1
                else f"{self.offset}..{self.offset + self.width - 1}")
        parts = f" x{self.count} every {self.stride}" if self.kind == "indexed" else ""
        return f"<Field {self.name} {self.type} bits {bits}{parts}>"


@dataclasses.dataclass(frozen=True)
class Member:
    """A hardware memory or register a table is made of."""

    name: str
    memoryId: int
    block: int
    address: int
    firstArrayIndex: int
    arrayCount: int
    firstEntryIndex: int
    entryCount: int

    def __repr__(self) -> str:
        return f"<Member {self.name} block {self.block} address {self.address:#x}>"


@dataclasses.dataclass(frozen=True)
class Key:
    """A table's key form: ``{value=N}`` (single) or ``{arrayIndex=A entryIndex=E}``."""

    form: str
    null: Optional[int] = None
    arrayIndexMin: Optional[int] = None
    arrayIndexMax: Optional[int] = None
    entryIndexMin: Optional[int] = None
    entryIndexMax: Optional[int] = None

    def __repr__(self) -> str:
        if self.null is not None:
            return f"<Key {{value=N}} N in 0..{self.null - 1}, null {self.null}>"
        return (f"<Key {{arrayIndex=A entryIndex=E}} A in {self.arrayIndexMin}.."
                f"{self.arrayIndexMax}, E in {self.entryIndexMin}..{self.entryIndexMax}>")


@dataclasses.dataclass(frozen=True)
class Table:
    """One table of the catalogue."""

    name: str
    fullName: str
    kind: str  # "register" or "memory"
    hardwareName: str
    descriptorName: str
    entryBytes: int
    key: Key
    members: List[Member]
    fields: List[Field]
    moduleOrder: int

    @property
    def is_memory(self) -> bool:
        return self.kind == "memory"

    def field(self, name: str) -> Field:
        """The field of that name; UsageError when the entry has none."""
        for each in self.fields:
            if each.name == name:
                return each
        raise UsageError(f"{self.name} has no field {name}")

    def __repr__(self) -> str:
        return (f"<Table {self.name} ({self.kind}, {self.entryBytes} bytes, "
                f"{len(self.fields)} fields, key {self.key.form})>")


def _table_of(data: dict) -> Table:
    return Table(name=data["className"], fullName=data["fullName"], kind=data["kind"],
                 hardwareName=data["hardwareName"], descriptorName=data["descriptorName"],
                 entryBytes=data["entryBytes"], key=Key(**data["key"]),
                 members=[Member(**member) for member in data["members"]],
                 fields=[Field(**field) for field in data["fields"]],
                 moduleOrder=data["moduleOrder"])


def tables() -> List[Table]:
    """Every loaded table, in module order."""
    return [_table_of(data) for data in _hwtables.catalogue()]


def table(name: str) -> Table:
    """The table of that class name (case ignored when no name matches exactly);
    UsageError naming the nearest one otherwise."""
    exact = _hwtables.table_name(name)
    return next(each for each in tables() if each.name == exact)


# --- the agent -------------------------------------------------------------------

def _value_word(name: str, value: Any) -> str:
    _hwtables.word(name, "field name")
    if isinstance(value, bool):  # a flag field set with True/False (FAP ids and keys refuse bools)
        value = int(value)
    return f"{name}={_hwtables.number_word(value, f'field {name}')}"


class Agent:
    """An agent on one chip: every table, one shadow per FAP, memory shadows in
    their shared-memory stores below ``root``.

    Cold (the default), the tables start from their start-up rows and are
    downloaded; warm, the memory shadows take over the stores a predecessor left
    and a reconcile writes only what differs. ``close()`` (or the end of a ``with``
    block) detaches the agent from its stores, which keep their entries.

    Keys are a key's text form (``"{value=3}"``), an int (a single-index key), an
    ``(arrayIndex, entryIndex)`` pair, or a dict of those names. Field values are
    ints, or for bitmap fields also ``"0x..."`` texts. Every method returns the
    reply's fields as the console's ``--json`` has them; a refused or failed
    command raises (see the package's exceptions) and a refused one changed nothing.
    """

    def __init__(self, faps: Sequence[int] = (0, 1), root: Optional[str] = None,
                 chip: Optional[str] = None, warm: bool = False, dma_buffer: int = 256,
                 revision: str = REVISION, chip_timeout: float = 10.0):
        self._agent = _hwtables.Agent(list(faps), root or "", chip or "", warm, dma_buffer,
                                      revision, chip_timeout)

    def __enter__(self) -> "Agent":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Detaches from the stores (they keep their entries); later calls raise."""
        self._agent.close()

    @property
    def root(self) -> str:
        """The store root the memory shadows live below."""
        return self._agent.root()

    @property
    def bring_up(self) -> dict:
        """What the bring-up did: start (cold or warm), chip, and a warm start's reports."""
        return self._agent.bring_up()

    def _entry(self, command: str, table: str, fap: int, key: KeyArg, *more: str,
               long_work: bool = False) -> dict:
        words = [_hwtables.word(table, "table"), _hwtables.number_word(fap, "FAP id"),
                 _hwtables.key_word(key), *more]
        return self._agent.run(command, words, long_work)

    def set(self, table: str, fap: int, key: KeyArg, **fields: Any) -> dict:
        """Changes fields of the entry at ``key`` in the FAP's shadow (the other fields
        keep their values) and returns the entry. No fields: UsageError."""
        if not fields:
            raise UsageError("set needs at least one field=value")
        return self._entry("set", table, fap, key,
                           *(_value_word(name, value) for name, value in fields.items()))

    def get(self, table: str, fap: int, key: KeyArg) -> dict:
        """The entry the shadow holds at ``key`` (or its default): ``key``, ``data``,
        ``fields`` (and ``heldNotDownloaded``, why, for an entry held under a key the
        chip has no row for)."""
        return self._agent.get(table, fap, key)

    def delete(self, table: str, fap: int, key: KeyArg) -> dict:
        """Returns the entry at ``key`` to its default."""
        return self._entry("delete", table, fap, key)

    def schan(self, table: str, fap: int, key: KeyArg) -> dict:
        """Sends the write commands of one entry to the chip and returns them."""
        return self._entry("schan", table, fap, key)

    def clear(self, table: str, fap: int) -> dict:
        """Empties a shadow and writes the defaults to the chip."""
        words = [_hwtables.word(table, "table"), _hwtables.number_word(fap, "FAP id")]
        return self._agent.run("clear", words, True)

    def download(self, table: str = "all") -> dict:
        """Writes whole tables to the chip. CheckFailed when entries were left unwritten."""
        return self._agent.run("download", [_hwtables.word(table, "table")], True)

    def read(self, table: str, fap: int) -> dict:
        """Reads a table back from the chip through its reader: the rows as the chip has them."""
        words = [_hwtables.word(table, "table"), _hwtables.number_word(fap, "FAP id")]
        return self._agent.run("read", words, True)

    def _scoped(self, command: str, table: str, fap: Optional[int]) -> dict:
        words = [_hwtables.word(table, "table")]
        if fap is not None:
            words.append(_hwtables.number_word(fap, "FAP id"))
        return self._agent.run(command, words, True)

    def audit(self, table: str = "all", fap: Optional[int] = None) -> dict:
        """Reads the chip back and compares it with the shadows; CheckFailed (with the
        differences in ``reply``) when they differ."""
        return self._scoped("audit", table, fap)

    def reconcile(self, table: str = "all", fap: Optional[int] = None) -> dict:
        """Reads back, writes only the rows that differ from the shadows, checks again;
        CheckFailed when rows still differ."""
        return self._scoped("reconcile", table, fap)

    def dma_buffer(self, size: int) -> dict:
        """Sets the size of the DMA buffers for downloads and reads (1 byte .. 64 MiB)."""
        return self._agent.run("dma-buffer", [_hwtables.number_word(size, "size")], False)

    def command(self, line: str) -> dict:
        """Runs one line of the agent's console (``hwtables agent``; ``help`` lists
        them) and returns its reply's fields; raises as the methods do."""
        return self._agent.run_line(line, True)

    def describe(self, table: str) -> dict:
        """The table's types as the type runtime has them."""
        return self._agent.run("describe", [_hwtables.word(table, "table")], False)


# --- live shadows ----------------------------------------------------------------

def _fap_number(fap: int) -> int:
    if isinstance(fap, bool) or not isinstance(fap, int):
        raise UsageError(f"a FAP id is an int, not {type(fap).__name__}")
    if not 0 <= fap <= 255:
        raise RangeError(f"a FAP id {fap} is outside 0..255")
    return fap


def show(table: str, fap: int = 0, root: Optional[str] = None,
         revision: str = REVISION) -> List[dict]:
    """The entries of a memory table's shadow for one FAP, read from its store by
    this process (never locking or writing it), in key order. Each entry is a dict:
    ``key`` (as a dict), ``keyText``, ``data`` (hex), ``fields`` (name: value),
    ``downloadable`` (and ``neverDownloaded``, why, when the chip has no row for it).
    CheckFailed when the shadow cannot be read (no agent has created it).

    The store's files stay mapped between calls (for the last 16 shadows shown), and
    each call first checks that they are still the store's: a store removed, or
    replaced by a new writer, is read anew or refused, never answered from the old
    files."""
    return _hwtables.show(table, _fap_number(fap), root or "", revision)


class Shadow:
    """A memory table's shadow for one FAP, read from its store by this process
    again and again: ``show()`` is ``hwtables.show`` of it, ``get(key)`` one entry.
    The store's files stay mapped until ``close()`` (or the end of a ``with``
    block); every call first checks that they are still the store's, as ``show``
    does. CheckFailed from a call when there is no store or it cannot be read now;
    the next call tries again."""

    def __init__(self, table: str, fap: int = 0, root: Optional[str] = None,
                 revision: str = REVISION):
        self._shadow = _hwtables.Shadow(table, _fap_number(fap), root or "", revision)

    def show(self) -> List[dict]:
        """The shadow's entries in key order, as ``hwtables.show`` returns them."""
        return self._shadow.show()

    def get(self, key: KeyArg) -> Optional[dict]:
        """The entry held under ``key`` (any form ``Agent.get`` takes) as ``show``
        lists it, or None when the shadow holds no entry there. It reads the whole
        shadow: for many entries, one ``show()`` is cheaper."""
        return self._shadow.get(key)

    def close(self) -> None:
        """Unmaps the store's files; later calls raise UsageError."""
        self._shadow.close()

    @property
    def closed(self) -> bool:
        return self._shadow.closed

    @property
    def directory(self) -> str:
        """The store directory read."""
        return self._shadow.directory

    def __enter__(self) -> "Shadow":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return "<Shadow (closed)>"
        return f"<Shadow {self._shadow.where} in {self._shadow.directory}>"


class Watch:
    """The change events of a memory shadow's store, as an iterator (see ``watch``)."""

    def __init__(self, table: str, fap: int = 0, root: Optional[str] = None,
                 revision: str = REVISION, poll: float = 0.05):
        self._watch = _hwtables.Watch(table, _fap_number(fap), root or "", revision, poll)

    def __iter__(self) -> Iterator[dict]:
        return self

    def __next__(self) -> dict:
        while True:
            event = self._watch.next(3600.0)
            if event is not None:
                return event

    def next(self, timeout: float) -> Optional[dict]:
        """The next event within ``timeout`` seconds, or None when none came;
        StopIteration once the watch has ended."""
        return self._watch.next(timeout)

    def close(self) -> None:
        """Stops following; the iteration ends."""
        self._watch.close()

    @property
    def closed(self) -> bool:
        """Whether the watch has ended (closed, or its follow ended by itself)."""
        return self._watch.closed

    @property
    def directory(self) -> str:
        """The store directory followed."""
        return self._watch.directory

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Watch {self._watch.table} in {self._watch.directory}>"


def watch(table: str, fap: int = 0, root: Optional[str] = None,
          revision: str = REVISION, poll: float = 0.05) -> Watch:
    """Follows a memory table's live shadow through its store's notifications.

    Iterating yields the events of ``hwtables watch --json`` as dicts, each with
    ``event``: waiting, resync (``seq``, ``reason``), synced (``seq``, ``entries``),
    added / changed / removed (``seq``, ``from``, ``key`` as a dict, ``value`` and
    ``previous`` as ``{"data", "fields"}``), unchanged (``from``..``seq``), writer.
    The events account for every sequence number of the writer. A damaged store
    raises CorruptionError once its ``corrupt`` event was taken. Use it in a
    ``with`` block, or call ``close()``: either ends it. Ctrl-C while it waits
    ends it too, and raises KeyboardInterrupt as usual."""
    return Watch(table, fap, root, revision, poll)


# --- stores ----------------------------------------------------------------------

class Store:
    """A store directory, opened for reading only: nothing here writes to it."""

    def __init__(self, directory: str):
        self._store = _hwtables.Store(directory)

    @property
    def directory(self) -> str:
        return self._store.directory

    def check(self, wait: float = 2.0) -> dict:
        """The document of ``hwtables store check --json``: ``result`` is "ok",
        "invalid" (with ``reason``) or "busy". ``wait``: how long to wait, in
        seconds, for a live writer to pause between two operations."""
        return self._store.check(int(wait * 1000))

    def entries(self, wait: float = 2.0) -> List[dict]:
        """Every occupied slot in list order, as ``store dump --json`` lists them.
        CorruptionError when the store is not valid."""
        return self._store.entries(int(wait * 1000))

    def __iter__(self) -> Iterator[dict]:
        return iter(self.entries())

    def __repr__(self) -> str:
        return f"<Store {self.directory}>"
