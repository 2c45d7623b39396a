"""A client journal (an SQLite file or a PostgreSQL database): the attempts that may have reached the server,
to reconcile after a crash, from any instance of a fleet."""
from __future__ import annotations

import ctypes
import os
from typing import Any, Dict, List, Optional, Union

from . import _json
from ._native import INVALID_ARGUMENT, OK, _check, _lib, _saturated, _take


def set_journal_instance(instance_id: str = "", alive_interval: float = 10.0) -> None:
    """Names this process in the journals it writes ("": host name, process id and start time); each journal it
    writes records every alive_interval seconds (0.01 to 3600) that it is alive. ValueError for a bad value."""
    _check(_lib.orvalis_journal_set_instance(instance_id.encode(), _saturated(alive_interval)), "journal instance")


def journal_instance_id() -> str:
    """The id this process's journal entries carry."""
    out = ctypes.c_void_p()
    _check(_lib.orvalis_journal_instance_id(ctypes.byref(out)), "journal instance")
    return _take(out.value) or ""


class Journal:
    """The journal at path (made when missing): an SQLite file or a libpq connection string ("postgresql://...",
    "host=db1 dbname=shop"), opened beside any client writing to it, in this process or another (docs/journal.md).
    Entries are dicts with the fields the docs name. Any thread may call. Raises JournalError when the journal
    cannot be opened, read or written (its text never holds a password)."""

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        handle = ctypes.c_void_p()
        _check(_lib.orvalis_journal_open(os.fsencode(path), ctypes.byref(handle)), "journal")
        self._handle: Optional[int] = handle.value

    def _json(self, status: int, out: ctypes.c_void_p) -> Any:
        _check(status, "journal")
        return _json.loads(_take(out.value) or "null")

    def unsettled(self) -> List[Dict[str, Any]]:
        """The entries whose outcome is unknown or maybe reached, not settled, oldest first."""
        out = ctypes.c_void_p()
        return self._json(_lib.orvalis_journal_unsettled_json(self._live(), ctypes.byref(out)), out)

    def entry(self, entry_id: int) -> Optional[Dict[str, Any]]:
        """Entry entry_id, or None when there is none."""
        out = ctypes.c_void_p()
        status = _lib.orvalis_journal_entry_json(self._live(), entry_id, ctypes.byref(out))
        return None if status == INVALID_ARGUMENT else self._json(status, out)

    def settle(self, entry_id: int, note: str) -> bool:
        """Marks entry entry_id resolved with note (what was found out); False when there is no such entry."""
        status = _lib.orvalis_journal_settle(self._live(), entry_id, note.encode())
        if status != INVALID_ARGUMENT:
            _check(status, "journal")
        return status == OK

    def find(self, instance: Optional[str] = None, stale_after: float = 60.0, stale_only: bool = False,
             older_than: Optional[float] = None, all_entries: bool = False) -> List[Dict[str, Any]]:
        """Unsettled entries (every entry with all_entries) of every instance, oldest first, each with "instance" and
        "instanceStale" (not seen alive for stale_after seconds): only instance's, only stale instances', only those
        recorded more than older_than seconds ago."""
        out = ctypes.c_void_p()
        flags = (1 if all_entries else 0) | (2 if stale_only else 0)
        status = _lib.orvalis_journal_find_json(self._live(), None if instance is None else instance.encode(),
                                                _saturated(stale_after), flags,
                                                0 if older_than is None else _saturated(older_than), ctypes.byref(out))
        return self._json(status, out)

    def settle_once(self, entry_id: int, note: str) -> Optional[bool]:
        """Settles entry entry_id unless it is settled already: True when this call settled it, False when it was
        settled before (of two instances at once, exactly one gets True), None when there is no such entry."""
        settled = ctypes.c_int()
        status = _lib.orvalis_journal_settle_once(self._live(), entry_id, note.encode(), ctypes.byref(settled))
        if status == INVALID_ARGUMENT:
            return None
        _check(status, "journal")
        return settled.value == 1

    def copy_to(self, other: "Journal") -> "tuple[int, int]":
        """Copies every entry into other, adding only those it lacks; (added, already there)."""
        copied, present = ctypes.c_int64(), ctypes.c_int64()
        _check(_lib.orvalis_journal_copy(self._live(), other._live(), ctypes.byref(copied), ctypes.byref(present)),
               "journal")
        return copied.value, present.value

    def _live(self) -> int:
        if not self._handle:
            raise RuntimeError("the journal is closed")
        return self._handle

    def close(self) -> None:
        """Closes the file; the journal's clients are not affected."""
        handle, self._handle = self._handle, None
        _lib.orvalis_journal_free(handle)

    def __enter__(self) -> "Journal":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None):
            self.close()
