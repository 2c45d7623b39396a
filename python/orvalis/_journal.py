"""A client journal file: the attempts that may have reached the server, to reconcile after a crash."""
from __future__ import annotations

import ctypes
import os
from typing import Any, Dict, List, Optional, Union

from . import _json
from ._native import INVALID_ARGUMENT, OK, _check, _lib, _take


class Journal:
    """The journal at path (made when missing), opened beside any client writing to it, in this process or
    another (docs/journal.md). Entries are dicts with the fields the docs name. Any thread may call.
    Raises JournalError when the file cannot be opened, read or written."""

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
