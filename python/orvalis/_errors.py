"""The failure of an operation, as the C interface reports it."""
from __future__ import annotations

import enum
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

#: Domain of transport failures (codes are negative; -999 is a cancellation).
URL_ERROR_DOMAIN = "org.orvalis.URLErrorDomain"
#: Domain of answers that carry an error or cannot be decoded (code 101).
NETWORK_ERROR_DOMAIN = "org.orvalis.ZRBNetworkManager"
#: Domain of answers whose HTTP status is outside 2xx, whatever their body (the code is the status).
HTTP_ERROR_DOMAIN = "org.orvalis.HTTPErrorDomain"
#: Code of a cancelled operation in URL_ERROR_DOMAIN.
CANCELLED = -999


class Reached(enum.IntEnum):
    """Whether a failed operation's request may have reached the server."""

    NO = 0  #: refused locally, or no connection was made: safe to send again
    MAYBE = 1  #: sending began but no answer came (lost connection, time-out, cancelled)
    YES = 2  #: the server answered (see OperationError.status and .server_error)


class Attempt(NamedTuple):
    """One attempt of an operation. Times in seconds; the phases never decrease in this order
    (a reused connection shows for lookup, connect and TLS when it was taken over: a short time, not 0)."""

    correlation_id: str  #: the oauth_nonce the attempt's request carried, as the server saw it
    started_after: float  #: when it started, from the operation's start
    name_lookup: float
    connect: float
    tls: float
    first_byte: float
    total: float
    status: int  #: the answer's HTTP status, 0 when none came
    error_code: int  #: 0 on success


class Event(NamedTuple):
    """What a client's observer is told: "started", "attempt" (one attempt ended) or "completed"."""

    kind: str
    operation: str  #: the C++ name, e.g. "getPairingId"
    attempt: int  #: "attempt": its number from 1; "completed": the attempts made
    retry_in: Optional[float] = None  #: "attempt": seconds before the next attempt, None when none follows
    attempt_info: Optional[Attempt] = None  #: "attempt": that attempt
    attempts: "List[Attempt]" = []  #: "completed": every attempt
    error: Optional["OperationError"] = None  #: "completed": the failure, None on success


class Request(NamedTuple):
    """A request as it would go out, handed to a client's answerer (see docs/testing.md)."""

    method: str
    url: str
    headers: "List[tuple[str, str]]"  #: in order; "Authorization" holds the OAuth signature
    body: Optional[bytes]


class Reply(NamedTuple):
    """What an answerer says in place of the server: an answer, or with error_code a failed exchange
    (a URL_ERROR_DOMAIN code such as -1005; sent: whether the request may have reached the server)."""

    status: int = 200
    body: bytes = b""
    content_type: Optional[str] = "application/json"
    error_code: int = 0
    sent: bool = False


def _last_correlation_id(attempts: List[Attempt]) -> str:
    # The one the server answered (or last failed to): a retried operation's earlier nonces are spent.
    return attempts[-1].correlation_id if attempts else ""


class Answer(Dict[str, Any]):
    """A successful operation's answer: the decoded dict itself (answer["key"], iteration, ==), plus
    what is known about the exchange. status is its HTTP status (2xx), headers its header fields in
    order ((name, value) pairs), attempts every attempt made and correlation_id the last one's."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.status = 0
        self.headers: List[Tuple[str, str]] = []
        self.attempts: List[Attempt] = []

    @property
    def correlation_id(self) -> str:
        """The last attempt's oauth_nonce, as the server saw it."""
        return _last_correlation_id(self.attempts)


class JournalError(RuntimeError):
    """A journal file that cannot be opened, read or written (docs/journal.md); the text says why."""


class OperationError(Exception):
    """An operation failed: the library's error plus what is known about the exchange.

    domain, code and message are the C++ Error's (an answer outside 2xx: HTTP_ERROR_DOMAIN with the status
    as code); status is the answer's HTTP status (0 when no answer came), headers its header fields and
    body its bytes (b"" when none came); server_error is the server's own error entry (a dict) when it
    sent one; reached says whether
    the request may have reached the server (the furthest any attempt got); attempts lists every attempt
    made and correlation_id is the last one's.
    """

    def __init__(self, domain: str, code: int, message: str, status: int = 0,
                 server_error: Optional[Dict[str, Any]] = None, reached: Reached = Reached.NO) -> None:
        super().__init__(f"{message} ({domain} {code}, HTTP {status})")
        self.domain = domain
        self.code = code
        self.message = message
        self.status = status
        self.server_error = server_error
        self.reached = reached
        self.headers: List[Tuple[str, str]] = []
        self.body = b""
        self.attempts: List[Attempt] = []

    def __reduce__(self) -> Tuple[Any, ...]:
        # Pickle, copy and deepcopy rebuild it from its own fields (a pool worker's failure reaches the
        # parent whole); the default would call __init__ with the formatted text alone.
        return (type(self), (self.domain, self.code, self.message, self.status, self.server_error, self.reached),
                self.__dict__)

    @property
    def correlation_id(self) -> str:
        """The last attempt's oauth_nonce ("" when the request was refused before sending)."""
        return _last_correlation_id(self.attempts)

    @property
    def cancelled(self) -> bool:
        """True when the operation ended because it was cancelled."""
        return self.domain == URL_ERROR_DOMAIN and self.code == CANCELLED
