"""The six operations, blocking (Client) and awaitable (AsyncClient)."""
from __future__ import annotations

import asyncio
import atexit
import os
import threading
import weakref
from decimal import Decimal
from typing import Any, Awaitable, Callable, Dict, Generic, Mapping, Optional, Sequence, Tuple, TypeVar, Union

from . import _json, _native
from ._errors import Answer, Event, OperationError, Reply, Request

R = TypeVar("R")
Self = TypeVar("Self", bound="_Operations[Any]")
PathLike = Union[str, "os.PathLike[str]"]


class _Operations(Generic[R]):
    """The six merchant operations; R is what each call gives (the answer, or an awaitable of it).

    Every field is optional, as on the C++ requests: one left as None is not sent. timeout (seconds)
    limits one call overall, on top of the client's time-outs; attempts (1 to 10) overrides the
    client's for one call (1: no retry). On failure a call raises OperationError;
    a setting the library refuses raises ValueError. Any thread may call; close() frees the client.
    """

    def __init__(self, host: str, consumer_key: str, *, key_name: Optional[str] = None,
                 key_file: Optional[PathLike] = None, key_data: Optional[bytes] = None,
                 key_password: Optional[str] = None, idle_timeout: Optional[float] = None,
                 overall_timeout: Optional[float] = None, require_signature: bool = True,
                 attempts: int = 3, backoff: float = 0.25, max_backoff: float = 4.0,
                 max_retry_after: float = 60.0, observer: Optional[Callable[[Event], None]] = None,
                 answerer: Optional[Callable[[Request], Reply]] = None, user_agent: Optional[str] = None,
                 proxy: Optional[str] = None, trusted_certificates: Sequence[PathLike] = (),
                 pinned_keys: Optional[Mapping[str, str]] = None, key_token: Optional[str] = None,
                 key_pin_file: Optional[PathLike] = None, key_pin: Optional[Callable[[], str]] = None,
                 full_log_lines: bool = False, journal_path: Optional[PathLike] = None,
                 journal_all_operations: bool = False,
                 connection_limits: Optional[Tuple[int, int, int]] = None) -> None:
        """Makes a client that signs every request with one merchant key.

        host: "name[:port]" without scheme. The key is one of key_name (a resource "<name>.p12" of the
        library's resource directory), key_file (a PKCS#12 file) or key_data (PKCS#12 bytes), opened with
        key_password; or key_token, a PKCS#11 URI ("pkcs11:token=...;object=...;type=private") naming a
        key that signs inside its token, whose PIN is key_password, the first line of key_pin_file, or what
        key_pin() returns when the token asks for a login. Time-outs are in seconds: an operation fails
        with code -1001 when no byte moves for idle_timeout (default 180), or once overall_timeout has
        passed; both must be above zero, and float("inf") means no limit. With require_signature (the
        default) a request that cannot be signed
        is not sent: the call raises OperationError -1231 naming the cause (wrong password, not found, ...)
        and where the key was looked for; False sends it unsigned. A failed call is tried again where
        that is safe, up to attempts in all (1: never): a request never sent (any operation); a read
        (GET) also after a lost connection, a time-out or HTTP 429/502/503/504; never a payment that may
        have reached the server. Pauses start at backoff seconds and double up to max_backoff, less a
        random part of up to half; a Retry-After of up to max_retry_after seconds is waited for.
        observer(Event) is told when each call starts, after each attempt and at completion (timings,
        correlation ids), mostly on the library's thread; what it raises is ignored. answerer(Request) ->
        Reply, for your own tests, answers every signed request in place of the network (docs/testing.md).
        user_agent is sent as "User-Agent" (default "Orvalis/<version> libcurl/<version>"). proxy, in
        libcurl's form ("http://host:port", "socks5h://host:port"), carries this client's requests; ""
        means none whatever the environment says; None (the default) follows libcurl's environment
        variables (https_proxy, http_proxy, all_proxy, no_proxy); a failure on the proxy's side names it.
        trusted_certificates (PEM files) and pinned_keys (host -> "sha256//<base64>;...") hold for this
        client only, beside the process-wide add_trusted_certificates() and pin_public_keys().
        connection_limits (per_host, total, streams_per_connection; default (32, 128, 1000)) bounds this
        client's connections and HTTP/2 streams, on a transport of its own shared only with clients of
        the same limits.
        The lines this client logs (see set_log_handler) are redacted: Authorization values and
        signatures masked, request and answer bodies shown by their size; full_log_lines=True logs them
        whole.

        journal_path keeps a journal (an SQLite file, docs/journal.md): each attempt of authorize_pairing and
        express_checkout (of every operation with journal_all_operations) is recorded before it is sent, and
        one that cannot be recorded is not sent (OperationError -1234); read it with Journal(path).
        Raises ValueError for a refused setting, JournalError when the journal cannot be opened.
        """
        if sum(k is not None for k in (key_name, key_file, key_data, key_token)) > 1:
            raise ValueError("give at most one of key_name, key_file, key_data and key_token")
        self._lock = threading.Lock()
        self._waiters = 0  # threads inside wait_idle: the handle is freed after they leave
        self._closed = False
        _native.follow_logging()
        self._handle = _native.new_client(
            host=host, consumer_key=consumer_key, key_name=key_name,
            key_file=None if key_file is None else os.fspath(key_file), key_data=key_data,
            key_password=key_password, idle_timeout=idle_timeout, overall_timeout=overall_timeout,
            require_signature=require_signature, retry=(attempts, backoff, max_backoff, max_retry_after),
            observer=observer, answerer=answerer,
            transport=(user_agent, proxy, [os.fspath(p) for p in trusted_certificates], dict(pinned_keys or {}),
                       connection_limits),
            key_token=key_token, key_pin_file=None if key_pin_file is None else os.fspath(key_pin_file),
            key_pin=key_pin, full_log_lines=full_log_lines,
            journal=(None if journal_path is None else os.fspath(journal_path), journal_all_operations))
        _live.add(self)
        _retire()

    def _run(self, operation: str, fields: Dict[str, Any], timeout: Optional[float], attempts: Optional[int]) -> R:
        raise NotImplementedError

    def _start(self, operation: str, fields: Dict[str, Any], timeout: Optional[float], attempts: Optional[int],
               done: Optional[_native.Completion]) -> _native.Operation:
        with self._lock:
            if self._closed:
                raise RuntimeError("the client is closed")
            _native.follow_logging()
            return _native.start(self._handle, operation, fields, timeout, done, attempts)

    def initialize_pairing(self, *, checkout_id: Optional[str] = None, user_id: Optional[str] = None,
                           timeout: Optional[float] = None,
        attempts: Optional[int] = None) -> R:
        """GET "/dataprov-apis/public/initializepairing" (C++ initializePairing)."""
        return self._run("initialize_pairing", {"checkout_id": checkout_id, "user_id": user_id}, timeout, attempts)

    def get_pairing_id(self, *, pairing_transaction_id: Optional[str] = None, user_id: Optional[str] = None,
                       timeout: Optional[float] = None,
        attempts: Optional[int] = None) -> R:
        """GET "/quorvex/pairingid" (C++ getPairingId)."""
        return self._run("get_pairing_id", {"pairing_transaction_id": pairing_transaction_id, "user_id": user_id},
                         timeout, attempts)

    def authorize_pairing(self, *, checkout_id: Optional[str] = None, pairing_transaction_id: Optional[str] = None,
                          timeout: Optional[float] = None,
        attempts: Optional[int] = None) -> R:
        """POST "/dataprov-apis/stage1/quorvex/partner/v6/pairing", the body filled in from the
        "AuthorizePairing.xml" resource (see set_resource_path; C++ authorizePairing)."""
        return self._run("authorize_pairing",
                         {"checkout_id": checkout_id, "pairing_transaction_id": pairing_transaction_id},
                         timeout, attempts)

    def get_precheckout_data(self, *, pairing_id: Optional[str] = None, timeout: Optional[float] = None,
        attempts: Optional[int] = None) -> R:
        """GET "/quorvex/precheckoutdata/<pairing_id>" (C++ getPrecheckoutData)."""
        return self._run("get_precheckout_data", {"pairing_id": pairing_id}, timeout, attempts)

    def express_checkout(self, *, checkout_id: Optional[str] = None, pairing_id: Optional[str] = None,
                         pre_checkout_transaction_id: Optional[str] = None,
                         amount: Union[float, int, Decimal, str] = 0.0,
                         currency: Optional[str] = None, card_id: Optional[str] = None,
                         shipping_address_id: Optional[str] = None, digital_goods: bool = False,
                         psp_id: Optional[str] = None, external_data: Optional[str] = None,
                         timeout: Optional[float] = None,
        attempts: Optional[int] = None) -> R:
        """POST "/quorvex/expresscheckout" (C++ expressCheckout): the payment. After a failure
        whose reached is not Reached.NO it may have been taken: never send it again blindly; keep
        the error's correlation_id and settle it with the payment service (docs/operations.md).

        amount goes out as a 64-bit double, as on the other faces: a Decimal, int or str whose value
        that double cannot carry exactly (Decimal("12345678901234567.89"), 2**53 + 1, "abc") raises
        ValueError naming it, before anything is signed."""
        return self._run("express_checkout", {
            "checkout_id": checkout_id, "pairing_id": pairing_id,
            "pre_checkout_transaction_id": pre_checkout_transaction_id,
            "amount": _json.wire_double(amount, "amount"),
            "currency": currency, "card_id": card_id, "shipping_address_id": shipping_address_id,
            "digital_goods": int(bool(digital_goods)), "psp_id": psp_id, "external_data": external_data},
            timeout, attempts)

    def get_payment_data(self, *, transaction_id: Optional[str] = None, checkout_id: Optional[str] = None,
                         cart_id: Optional[str] = None, psp_id: Optional[str] = None,
                         external_data: Optional[str] = None, timeout: Optional[float] = None,
        attempts: Optional[int] = None) -> R:
        """GET "/quorvex/paymentdata/<transaction_id>" (C++ getPaymentData)."""
        return self._run("get_payment_data", {
            "transaction_id": transaction_id, "checkout_id": checkout_id, "cart_id": cart_id,
            "psp_id": psp_id, "external_data": external_data}, timeout, attempts)

    @property
    def in_flight(self) -> int:
        """Number of this client's operations not yet completed. Any thread."""
        with self._lock:
            return 0 if self._closed else _native.in_flight(self._handle)

    def cancel_all(self) -> None:
        """Cancels every operation of this client in flight (each fails with code -999). Any thread."""
        with self._lock:
            if not self._closed:
                _native.cancel_all(self._handle)

    def wait_idle(self, timeout: float) -> bool:
        """Waits up to timeout seconds until no operation of this client is in flight; True if none is."""
        with self._lock:
            if self._closed:
                return True
            handle, self._waiters = self._handle, self._waiters + 1
        try:
            return _native.wait_idle(handle, timeout)
        finally:
            with self._lock:
                self._waiters -= 1
                self._free_if_unused()

    def close(self) -> None:
        """Frees the client. Operations in flight go on and complete (see cancel_all)."""
        with self._lock:
            self._closed = True
            self._free_if_unused()
        _live.discard(self)

    def _free_if_unused(self) -> None:  # with the lock held
        if self._closed and self._waiters == 0 and self._handle is not None:
            _retire(self._handle)
            self._handle = None

    def __enter__(self: Self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()


class Client(_Operations[Answer]):
    """Blocking client: each operation returns the answer (an Answer: the decoded dict, with the
    exchange's status, headers and attempts) or raises OperationError, also for an HTTP status outside 2xx.

    An exception in the waiting thread (KeyboardInterrupt, say) cancels the operation before it
    propagates; cancel_all() from another thread ends every call with a cancelled OperationError.
    """

    def _run(self, operation: str, fields: Dict[str, Any], timeout: Optional[float], attempts: Optional[int]) -> Answer:
        if _native.delivery_thread is None:
            return self._run_through_completion(operation, fields, timeout, attempts)
        if threading.get_ident() == _native.delivery_thread:
            raise RuntimeError("a blocking call on the library's delivery thread would wait for itself")
        # The library wakes this thread itself: no Python runs on its thread for this call.
        op = self._start(operation, fields, timeout, attempts, None)
        try:
            outcome = None
            while outcome is None:
                outcome = op.wait(0.2)  # short waits keep Ctrl-C responsive
        except BaseException:
            op.cancel()
            raise
        finally:
            op.free()
        return _unwrap(outcome)

    def _run_through_completion(self, operation: str, fields: Dict[str, Any], timeout: Optional[float],
                                attempts: Optional[int]) -> Answer:
        # Until a completion has run, which thread is the library's is not known: this call's
        # completion tells, so that a later call from that thread is refused rather than hanging.
        finished = threading.Event()
        outcome: list[_native.Outcome] = []

        def done(result: _native.Outcome) -> None:  # on the library's delivery thread
            outcome.append(result)
            finished.set()

        op = self._start(operation, fields, timeout, attempts, done)
        try:
            while not finished.wait(0.2):  # short waits keep Ctrl-C responsive
                pass
        except BaseException:
            op.cancel()
            raise
        finally:
            op.free()
        return _unwrap(outcome[0])


class AsyncClient(_Operations[Awaitable[Answer]]):
    """asyncio client: each operation is a coroutine giving the answer (an Answer, as Client's) or raising
    OperationError. Cancelling the awaiting task cancels the operation in the library.
    Call the operations from a running event loop; the answer comes back on that loop.
    """

    def _run(self, operation: str, fields: Dict[str, Any], timeout: Optional[float],
             attempts: Optional[int]) -> Awaitable[Answer]:
        return self._await(operation, fields, timeout, attempts)

    async def _await(self, operation: str, fields: Dict[str, Any], timeout: Optional[float],
                     attempts: Optional[int]) -> Answer:
        loop = asyncio.get_running_loop()
        future: asyncio.Future[_native.Outcome] = loop.create_future()

        def settle(result: _native.Outcome) -> None:
            if not future.done():
                future.set_result(result)

        def done(result: _native.Outcome) -> None:  # on the library's delivery thread
            try:
                loop.call_soon_threadsafe(settle, result)
            except RuntimeError:  # the loop is closed: nobody waits any more
                pass

        op = self._start(operation, fields, timeout, attempts, done)
        try:
            return _unwrap(await future)
        except asyncio.CancelledError:
            op.cancel()
            raise
        finally:
            op.free()


def _unwrap(outcome: _native.Outcome) -> Answer:
    if isinstance(outcome, OperationError):
        raise outcome
    return outcome


# A completion still running when the interpreter shuts down would call into a
# finalizing Python (which ends that thread under the library's feet). So a closed
# client's handle is freed only once its callbacks have all returned, and at exit
# every operation is cancelled and waited for.
_live: "weakref.WeakSet[_Operations[Any]]" = weakref.WeakSet()
_retired: "set[int]" = set()  # handles of closed clients, freed once nothing of theirs is in flight
_retired_lock = threading.Lock()


def _retire(handle: Optional[int] = None) -> None:
    with _retired_lock:
        if handle is not None:
            _retired.add(handle)
        for idle in [h for h in _retired if _native.in_flight(h) == 0]:
            _native.free_client(idle)
            _retired.discard(idle)


@atexit.register
def _quiesce_at_exit() -> None:
    clients = list(_live)
    with _retired_lock:
        retired = list(_retired)
    for client in clients:
        client.cancel_all()
    for handle in retired:
        _native.cancel_all(handle)
    for client in clients:
        client.wait_idle(5.0)  # the cancelled operations complete at once
    for handle in retired:
        _native.wait_idle(handle, 5.0)
    # Closed here, while the modules they use are whole: a client's __del__ at interpreter shutdown
    # would find them half torn down.
    for client in clients:
        client.close()
    _retire()
    _native.detach_log_handler()
