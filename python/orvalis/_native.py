"""ctypes declarations of Orvalis' C interface (<Orvalis/C/orvalis.h>) and the thin functions over them."""
from __future__ import annotations

import ctypes
import ctypes.util
import itertools
import logging
import operator
import os
import re
import threading
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char_p, c_double, c_int, c_int64, c_long, c_size_t,
                    c_void_p, sizeof)
from typing import Any, Callable, Dict, Mapping, Optional, Sequence, Union

from . import _json
from ._errors import Answer, Attempt, Event, JournalError, OperationError, Reached, Reply, Request

OK = 0
INVALID_ARGUMENT = 1
TIMEOUT = 2
MALFORMED_INPUT = 3
NO_MEMORY = 6
JOURNAL = 8


def _load_library() -> ctypes.CDLL:
    """ORVALIS_LIBRARY, else the library inside this package (a wheel, or the build's layout), else the
    one of the tree this package was installed in (`cmake --install`), else the system's: its soname by
    the dynamic loader's rules (LD_LIBRARY_PATH, ldconfig's cache), then ctypes.util.find_library.
    Never a path of the machine that built the package."""
    path = os.environ.get("ORVALIS_LIBRARY")
    if path:
        return ctypes.CDLL(path)
    try:
        from . import _library  # written by the build: a file name, and a folder relative to this package
    except ImportError:
        _library = None
    soname, here = getattr(_library, "SONAME", None), os.path.dirname(os.path.abspath(__file__))
    if soname:
        for place in (here, os.path.join(here, getattr(_library, "LIBRARY_DIR", "."))):
            if os.path.exists(os.path.join(place, soname)):
                return ctypes.CDLL(os.path.normpath(os.path.join(place, soname)))
        try:
            return ctypes.CDLL(soname)
        except OSError:
            pass
    found = ctypes.util.find_library("OrvalisC")
    if found is None:
        raise ImportError("the Orvalis C library (libOrvalisC) was not found: set ORVALIS_LIBRARY to its path")
    return ctypes.CDLL(found)


_lib = _load_library()


class _Sized(Structure):
    """A struct of the C interface: struct_size is filled in, text fields take str (None: unset)."""

    def __init__(self, **fields: Any) -> None:
        super().__init__(sizeof(self), **{k: v.encode() if isinstance(v, str) else v
                                          for k, v in fields.items() if v is not None})


def _struct(name: str, *fields: "tuple[str, Any]") -> type:
    text = [(f, c_char_p) if isinstance(f, str) else f for f in fields]
    return type(name, (_Sized,), {"_fields_": [("struct_size", c_size_t), *text]})


_CallOptions = _struct("orvalis_call_options", ("idle_timeout_ms", c_int64), ("overall_timeout_ms", c_int64),
                       ("max_attempts", c_int))
_Attempt = _struct("orvalis_attempt", *[(f, c_int64) for f in (
    "started_after_us", "name_lookup_us", "connect_us", "tls_us", "first_byte_us", "total_us")],
    ("http_status", c_int), ("error_code", c_int64))
_Event = _struct("orvalis_event", ("kind", c_int), "operation", ("attempt", c_int), ("retry_in_ms", c_int64),
                 "correlation_id", ("attempt_info", _Attempt), ("result", c_void_p))
_XMLOptions = _struct("orvalis_xml_options", *[(f, c_int) for f in (
    "collapse_text_nodes", "strip_empty_nodes", "trim_white_space", "always_use_arrays", "preserve_comments",
    "wrap_root_node", "attributes_mode", "node_name_mode")])

# Python method name -> (C start function, request struct).
_OPERATIONS = {
    "initialize_pairing": ("orvalis_client_initialize_pairing",
                           _struct("orvalis_initialize_pairing_request", "checkout_id", "user_id")),
    "get_pairing_id": ("orvalis_client_get_pairing_id",
                       _struct("orvalis_pairing_id_request", "pairing_transaction_id", "user_id")),
    "authorize_pairing": ("orvalis_client_authorize_pairing",
                          _struct("orvalis_authorize_pairing_request", "checkout_id", "pairing_transaction_id")),
    "get_precheckout_data": ("orvalis_client_get_precheckout_data",
                             _struct("orvalis_precheckout_data_request", "pairing_id")),
    "express_checkout": ("orvalis_client_express_checkout", _struct(
        "orvalis_express_checkout_request", "checkout_id", "pairing_id", "pre_checkout_transaction_id",
        ("amount", c_double), "currency", "card_id", "shipping_address_id", ("digital_goods", c_int), "psp_id",
        "external_data")),
    "get_payment_data": ("orvalis_client_get_payment_data", _struct(
        "orvalis_payment_data_request", "transaction_id", "cart_id", "checkout_id", "psp_id", "external_data")),
}

_COMPLETION = CFUNCTYPE(None, c_void_p, c_void_p)
_LOG_HANDLER = CFUNCTYPE(None, c_void_p, c_size_t, c_void_p)
_PIN = CFUNCTYPE(ctypes.c_long, c_void_p, c_void_p, c_size_t)
_OUT = POINTER(c_void_p)
_OBSERVER = CFUNCTYPE(None, POINTER(_Event), c_void_p)
_Exchange = _struct("orvalis_exchange", "method", "url", ("header_count", c_size_t),
                    ("header_names", POINTER(c_char_p)), ("header_values", POINTER(c_char_p)), ("body", c_void_p),
                    ("body_length", c_size_t))
_Reply = _struct("orvalis_reply", ("http_status", c_int), "content_type", ("body", c_char_p),
                 ("body_length", c_size_t), ("error_code", c_int64), ("request_sent", c_int))
_ANSWERER = CFUNCTYPE(None, POINTER(_Exchange), POINTER(_Reply), c_void_p)


def _declare(name: str, restype: Any, *argtypes: Any) -> None:
    function = getattr(_lib, name)
    function.restype, function.argtypes = restype, list(argtypes)


for _name, _restype, _args in [
    ("orvalis_version", c_char_p, ()), ("orvalis_free", None, (c_void_p,)), ("orvalis_last_error", c_void_p, ()),
    ("orvalis_set_resource_path", c_int, (c_char_p,)), ("orvalis_add_trusted_certificates", c_int, (c_char_p,)),
    ("orvalis_pin_public_keys", c_int, (c_char_p, c_char_p)),
    ("orvalis_set_log_handler", None, (_LOG_HANDLER, c_void_p)), ("orvalis_reset_log_handler", None, ()),
    ("orvalis_set_key_cache_lifetime", c_int, (c_int64,)), ("orvalis_clear_key_cache", None, ()),
    ("orvalis_key_cache_count", c_size_t, ()),
    ("orvalis_client_config_set_full_log_lines", c_int, (c_void_p, c_int)),
    ("orvalis_key_source_resource", c_int, (c_char_p, _OUT)), ("orvalis_key_source_file", c_int, (c_char_p, _OUT)),
    ("orvalis_key_source_memory", c_int, (c_char_p, c_size_t, _OUT)),
    ("orvalis_key_source_token", c_int, (c_char_p, c_char_p, _OUT)),
    ("orvalis_key_source_token_pin_callback", c_int, (c_char_p, _PIN, c_void_p, _OUT)),
    ("orvalis_key_source_free", None, (c_void_p,)),
    ("orvalis_client_config_new", c_int, (_OUT,)), ("orvalis_client_config_free", None, (c_void_p,)),
    ("orvalis_client_config_set_host", c_int, (c_void_p, c_char_p)),
    ("orvalis_client_config_set_consumer_key", c_int, (c_void_p, c_char_p)),
    ("orvalis_client_config_set_key_source", c_int, (c_void_p, c_void_p)),
    ("orvalis_client_config_set_key_password", c_int, (c_void_p, c_char_p)),
    ("orvalis_client_config_set_idle_timeout_ms", c_int, (c_void_p, c_int64)),
    ("orvalis_client_config_set_require_signature", c_int, (c_void_p, c_int)),
    ("orvalis_client_config_set_overall_timeout_ms", c_int, (c_void_p, c_int64)),
    ("orvalis_client_new", c_int, (c_void_p, _OUT)), ("orvalis_client_free", None, (c_void_p,)),
    ("orvalis_client_in_flight", c_size_t, (c_void_p,)),
    ("orvalis_client_wait_idle", c_int, (c_void_p, c_int64)), ("orvalis_client_cancel_all", c_int, (c_void_p,)),
    ("orvalis_result_body", c_void_p, (c_void_p, POINTER(c_size_t))),
    ("orvalis_client_config_set_retry", c_int, (c_void_p, c_int, c_int64, c_int64, c_int64)),
    ("orvalis_client_config_set_observer", c_int, (c_void_p, _OBSERVER, c_void_p)),
    ("orvalis_client_config_set_user_agent", c_int, (c_void_p, c_char_p)),
    ("orvalis_client_config_set_proxy", c_int, (c_void_p, c_char_p)),
    ("orvalis_client_config_set_connection_limits", c_int, (c_void_p, c_long, c_long, c_long)),
    ("orvalis_client_config_add_trusted_certificates", c_int, (c_void_p, c_char_p)),
    ("orvalis_client_config_pin_public_keys", c_int, (c_void_p, c_char_p, c_char_p)),
    ("orvalis_client_config_set_answerer", c_int, (c_void_p, _ANSWERER, c_void_p)),
    ("orvalis_check_signature", c_int, (POINTER(_Exchange), c_char_p, c_char_p, _OUT)),
    ("orvalis_operation_cancel", c_int, (c_void_p,)), ("orvalis_operation_free", None, (c_void_p,)),
    ("orvalis_operation_wait", c_int, (c_void_p, c_int64, _OUT)), ("orvalis_result_free", None, (c_void_p,)),
    ("orvalis_result_packed", c_void_p, (c_void_p, POINTER(c_size_t))),
    ("orvalis_xml_to_json_sized", c_int, (c_char_p, c_size_t, POINTER(_XMLOptions), _OUT, POINTER(c_size_t))),
    ("orvalis_json_to_xml_sized", c_int, (c_char_p, c_size_t, _OUT, POINTER(c_size_t))),
    ("orvalis_client_config_set_journal", c_int, (c_void_p, c_char_p, c_int)),
    ("orvalis_journal_open", c_int, (c_char_p, _OUT)), ("orvalis_journal_free", None, (c_void_p,)),
    ("orvalis_journal_unsettled_json", c_int, (c_void_p, _OUT)),
    ("orvalis_journal_entry_json", c_int, (c_void_p, c_int64, _OUT)),
    ("orvalis_journal_settle", c_int, (c_void_p, c_int64, c_char_p)),
    ("orvalis_journal_set_instance", c_int, (c_char_p, c_int64)), ("orvalis_journal_instance_id", c_int, (_OUT,)),
    ("orvalis_journal_find_json", c_int, (c_void_p, c_char_p, c_int64, c_int, c_int64, _OUT)),
    ("orvalis_journal_settle_once", c_int, (c_void_p, c_int64, c_char_p, POINTER(c_int))),
    ("orvalis_journal_copy", c_int, (c_void_p, c_void_p, POINTER(c_int64), POINTER(c_int64))),
]:
    _declare(_name, _restype, *_args)
for _start, _request in _OPERATIONS.values():
    _declare(_start, c_int, c_void_p, POINTER(_request), POINTER(_CallOptions), _COMPLETION, c_void_p, _OUT)
# Python method name -> (C start function, request struct), looked up once.
_STARTS = {name: (getattr(_lib, start), request) for name, (start, request) in _OPERATIONS.items()}


def _take(pointer: Optional[int]) -> Optional[str]:
    """The text of a string the library handed over, which is then freed."""
    if not pointer:
        return None
    try:
        return ctypes.string_at(pointer).decode("utf-8", "replace")
    finally:
        _lib.orvalis_free(pointer)


# The exception of each status by its kind: a refused value (invalid argument, malformed input,
# a key that cannot sign) is ValueError, a journal that cannot be kept JournalError; only an
# internal fault (or a status this package does not know) is RuntimeError.
_RAISED = {1: ValueError, TIMEOUT: TimeoutError, MALFORMED_INPUT: ValueError, 4: ValueError, 5: RuntimeError,
           NO_MEMORY: MemoryError, JOURNAL: JournalError}


def _check(status: int, what: str) -> None:
    if status != OK:
        reason = _take(_lib.orvalis_last_error()) or "status %d" % status
        raise _RAISED.get(status, RuntimeError)(f"{what}: {reason}")


_INT64_MAX = 2**63 - 1


def _saturated(seconds: float) -> int:
    """Milliseconds, at most INT64_MAX (which the library reads as no limit): never a wrap-around."""
    if seconds != seconds:
        raise ValueError("a time-out cannot be NaN")
    if seconds >= _INT64_MAX / 1000:
        return _INT64_MAX
    return round(seconds * 1000)


def _milliseconds(seconds: Optional[float], what: str) -> int:
    if seconds is None:
        return 0
    if seconds <= 0:
        raise ValueError(f"{what} must be above zero")
    return max(1, _saturated(seconds))


def library_version() -> str:
    """The C library's version, "MAJOR.MINOR.PATCH"."""
    return _lib.orvalis_version().decode()


# ---------------------------------------------------------------- settings

def set_resource_path(directory: Union[str, "os.PathLike[str]"]) -> None:
    """Where key resources ("<name>.p12") and the "AuthorizePairing.xml" template are found (process-wide)."""
    _check(_lib.orvalis_set_resource_path(os.fsencode(directory)), "resource path")


def add_trusted_certificates(pem_path: Union[str, "os.PathLike[str]"]) -> None:
    """Trusts the certificates of a PEM file besides the system store, for every client (process-wide).
    Raises ValueError when the file holds no certificate."""
    _check(_lib.orvalis_add_trusted_certificates(os.fsencode(pem_path)), "trusted certificates")


def pin_public_keys(host: str, pins: "list[str]") -> None:
    """Requires the server at host to present one of pins ("sha256//<base64>"); [] removes the pin.
    Process-wide, on top of normal verification. Raises ValueError for a malformed pin."""
    _check(_lib.orvalis_pin_public_keys(host.encode(), ";".join(pins).encode()), "public key pins")


_log_handlers: "list[Any]" = []  # every ctypes callback handed over: a thread may still be inside an old one


def set_key_cache_lifetime(seconds: float) -> None:
    """Keeps each imported merchant key in this process's memory for seconds after its import, for
    every client, so that a busy host does not import the PKCS#12 file for every request; 0 (the
    default) turns the cache off and drops every kept key. The price: the private key stays in memory
    between requests. A kept key is used again only for the same key and password, and a file's key is
    imported anew when the file changed (docs/signing.md). Raises ValueError for a negative lifetime."""
    if seconds < 0:
        raise ValueError("the key cache's lifetime must not be negative")
    _check(_lib.orvalis_set_key_cache_lifetime(_saturated(seconds)), "key cache")


def clear_key_cache() -> None:
    """Drops every kept key now; the cache stays on or off as it was."""
    _lib.orvalis_clear_key_cache()


def key_cache_count() -> int:
    """How many imported keys the cache keeps right now."""
    return int(_lib.orvalis_key_cache_count())


#: Where the library's diagnostic lines go unless the host calls set_log_handler. Nothing is printed
#: until the host configures logging (logging.basicConfig, or a handler on this logger).
logger = logging.getLogger("orvalis")
logger.addHandler(logging.NullHandler())

# The level of a line by how it starts: what a request and its answer carried is for debugging, a
# key that cannot sign or an outcome the journal lost is a warning, a host callback or the transport
# failing inside the library is an error. Anything else (a failed attempt, say) is information.
_LEVELS = [(("URL : ", "OAuth ", "Request : ", "Response: ", "Key : "), logging.DEBUG),
           (("Merchant key: ", "Token: ", "Client: the journal", "ExpressCheckoutService"), logging.WARNING),
           (("URLSession: ", "Operation: ", "orvalis: ", "ZRBNetworkManager: "), logging.ERROR),
           (("Client: the observer",), logging.ERROR)]
_SUCCESSFUL_ATTEMPT = re.compile(r"^Client: \S+ attempt \d+ of \d+ \([^)]*\): HTTP 2\d\d;")


def log_level(line: str) -> int:
    """The logging level of one of the library's lines."""
    level = logging.INFO
    for prefixes, found in _LEVELS:
        if line.startswith(prefixes):
            level = found
    return logging.DEBUG if _SUCCESSFUL_ATTEMPT.match(line) else level


def _to_logger(line: int, length: int, _: Any) -> None:
    try:
        text = ctypes.string_at(line, length).decode("utf-8", "replace")
        level = log_level(text)
        if logger.isEnabledFor(level):
            logger.log(level, "%s", text)
    except Exception:  # never into the library's thread
        pass


# Lines cross into Python (a thread state and the GIL for each) only while the "orvalis" logger could
# emit them somewhere, or a host handler takes them: with logging unconfigured they would all end in its
# NullHandler. Checked when a client is made and as each operation starts.
_TO_LOGGER, _SILENT = _LOG_HANDLER(_to_logger), _LOG_HANDLER()
_route_lock = threading.Lock()
_route = {"host": False, "crossing": False}


def _logger_has_sink() -> bool:
    if not logger.isEnabledFor(logging.ERROR):
        return False
    current: Optional[logging.Logger] = logger
    while current is not None:
        if any(not isinstance(h, logging.NullHandler) for h in current.handlers):
            return True
        current = current.parent if current.propagate else None  # type: ignore[assignment]
    return False  # the NullHandler found on the way keeps logging.lastResort out


def follow_logging() -> None:
    """Hands the library's lines to the "orvalis" logger while it has somewhere to send them."""
    if _route["host"] or _logger_has_sink() == _route["crossing"]:
        return
    with _route_lock:
        wanted = _logger_has_sink()
        if not _route["host"] and wanted != _route["crossing"]:
            _lib.orvalis_set_log_handler(_TO_LOGGER if wanted else _SILENT, None)
            _route["crossing"] = wanted


def set_log_handler(handler: Optional[Callable[[str], None]]) -> None:
    """Sends the library's diagnostic lines to handler (called on any thread, maybe on several at once)
    instead of the "orvalis" logger; None silences them. A client's lines are redacted (Authorization
    values and signatures masked, bodies shown by their size) unless it was made with full_log_lines=True."""
    def forward(line: int, length: int, _: Any) -> None:
        try:
            handler(ctypes.string_at(line, length).decode("utf-8", "replace"))  # type: ignore[misc]
        except Exception:  # never into the library's thread
            pass
    new = _LOG_HANDLER(forward) if handler else _SILENT
    with _route_lock:
        _log_handlers.append(new)
        _route["host"] = True
        _lib.orvalis_set_log_handler(new, None)


def detach_log_handler() -> None:
    """Silences the library if its lines go to Python: at exit, when Python can no longer take them."""
    with _route_lock:
        _route["host"] = True
        _lib.orvalis_set_log_handler(_SILENT, None)


def reset_log_handler() -> None:
    """Sends the diagnostic lines to the "orvalis" logger again (the default)."""
    with _route_lock:
        _route["host"], _route["crossing"] = False, True
        _lib.orvalis_set_log_handler(_TO_LOGGER, None)
    follow_logging()


reset_log_handler()


# ------------------------------------------------------------------ client

_pins: "list[Any]" = []  # the PIN callbacks handed to the library: alive as long as the process


def _pin_callback(key_pin: Callable[[], str]) -> Any:
    def give(_: Any, out: Any, capacity: int) -> int:  # on the signing thread, at a token login
        try:
            pin = key_pin().encode()
        except Exception:  # a PIN callback that raises gives no PIN
            return -1
        if len(pin) > capacity:
            return -1
        ctypes.memmove(out, pin, len(pin))
        return len(pin)
    _pins.append(_PIN(give))
    return _pins[-1]


def new_client(host: str, consumer_key: str, key_name: Optional[str], key_file: Optional[str],
               key_data: Optional[bytes], key_password: Optional[str], idle_timeout: Optional[float],
               overall_timeout: Optional[float], require_signature: bool = True,
               retry: Optional["tuple[int, float, float, float]"] = None,
               observer: Optional[Callable[[Event], None]] = None,
               answerer: Optional[Callable[[Request], Reply]] = None,
               transport: "tuple[Optional[str], Optional[str], Sequence[str], Mapping[str, str]]" = (None, None, (), {}),
               key_token: Optional[str] = None, key_pin_file: Optional[str] = None,
               key_pin: Optional[Callable[[], str]] = None,
               full_log_lines: bool = False,
               journal: "tuple[Optional[str], bool]" = (None, False)) -> int:
    config, source, client = c_void_p(), c_void_p(), c_void_p()
    _check(_lib.orvalis_client_config_new(ctypes.byref(config)), "client configuration")
    try:
        _check(_lib.orvalis_client_config_set_host(config, host.encode()), "host")
        _check(_lib.orvalis_client_config_set_consumer_key(config, consumer_key.encode()), "consumer key")
        if key_name is not None:
            _check(_lib.orvalis_key_source_resource(key_name.encode(), ctypes.byref(source)), "key name")
        elif key_file is not None:
            _check(_lib.orvalis_key_source_file(os.fsencode(key_file), ctypes.byref(source)), "key file")
        elif key_data is not None:
            _check(_lib.orvalis_key_source_memory(key_data, len(key_data), ctypes.byref(source)), "key data")
        elif key_token is not None and key_pin is not None:
            pin = _pin_callback(key_pin)
            _check(_lib.orvalis_key_source_token_pin_callback(key_token.encode(), pin, None, ctypes.byref(source)),
                   "key token")
        elif key_token is not None:
            pin_file = None if key_pin_file is None else os.fsencode(key_pin_file)
            _check(_lib.orvalis_key_source_token(key_token.encode(), pin_file, ctypes.byref(source)), "key token")
        if source:
            _check(_lib.orvalis_client_config_set_key_source(config, source), "key")
        if key_password is not None:
            _check(_lib.orvalis_client_config_set_key_password(config, key_password.encode()), "password")
        _check(_lib.orvalis_client_config_set_require_signature(config, int(bool(require_signature))),
               "require signature")
        _check(_lib.orvalis_client_config_set_full_log_lines(config, int(bool(full_log_lines))), "log lines")
        if idle_timeout is not None:
            _check(_lib.orvalis_client_config_set_idle_timeout_ms(
                config, _milliseconds(idle_timeout, "idle_timeout")), "idle time-out")
        if overall_timeout is not None:
            _check(_lib.orvalis_client_config_set_overall_timeout_ms(
                config, _milliseconds(overall_timeout, "overall_timeout")), "overall time-out")
        if retry is not None:
            attempts, *pauses = retry
            _check(_lib.orvalis_client_config_set_retry(config, attempts, *(_saturated(p) for p in pauses)), "retry")
        user_agent, proxy, trusted, pins, limits = transport
        if limits is not None:
            try:
                per_host, total, streams = (operator.index(n) for n in limits)
                _check(_lib.orvalis_client_config_set_connection_limits(config, per_host, total, streams), "limits")
            except (TypeError, ValueError, ctypes.ArgumentError):
                raise ValueError(f"connection_limits must be three whole numbers in range: {limits!r}") from None
        if user_agent is not None:
            _check(_lib.orvalis_client_config_set_user_agent(config, user_agent.encode()), "user agent")
        if proxy is not None:
            _check(_lib.orvalis_client_config_set_proxy(config, proxy.encode()), "proxy")
        for path in trusted:
            _check(_lib.orvalis_client_config_add_trusted_certificates(config, os.fsencode(path)), "trusted certificates")
        for host_name, host_pins in pins.items():
            _check(_lib.orvalis_client_config_pin_public_keys(config, host_name.encode(), host_pins.encode()), "pins")
        if journal[0] is not None:
            _check(_lib.orvalis_client_config_set_journal(config, os.fsencode(journal[0]), int(journal[1])), "journal")
        key = next(_keys)
        if observer is not None:
            _observers[key] = observer
            _check(_lib.orvalis_client_config_set_observer(config, _observe, key), "observer")
        if answerer is not None:
            _answerers[key] = answerer
            _check(_lib.orvalis_client_config_set_answerer(config, _answer, key), "answerer")
        _check(_lib.orvalis_client_new(config, ctypes.byref(client)), "client")
        if observer is not None or answerer is not None:
            _observer_of[client.value] = key  # type: ignore[index]
        return client.value  # type: ignore[return-value]
    finally:
        _lib.orvalis_key_source_free(source)
        _lib.orvalis_client_config_free(config)


def free_client(client: int) -> None:
    _lib.orvalis_client_free(client)
    key = _observer_of.pop(client, 0)
    _observers.pop(key, None)
    _answerers.pop(key, None)
    _replies.pop(key, None)


def cancel_all(client: int) -> None:
    _lib.orvalis_client_cancel_all(client)


def in_flight(client: int) -> int:
    return int(_lib.orvalis_client_in_flight(client))


def wait_idle(client: int, timeout: float) -> bool:
    status = _lib.orvalis_client_wait_idle(client, max(0, _saturated(timeout)))
    if status not in (OK, TIMEOUT):
        _check(status, "wait")
    return status == OK


# -------------------------------------------------------------- operations

#: What an operation ends with: the answer, or the failure to raise.
Outcome = Union[Dict[str, Any], OperationError]
#: Receives the outcome, on the library's delivery thread.
Completion = Callable[[Outcome], None]

# Completions waiting for their operation, by the key passed as user_data. One
# trampoline serves them all, so no ctypes callback object can die too early.
_waiting: Dict[int, Completion] = {}
_waiting_lock = threading.Lock()
_keys = itertools.count(1)


def _attempt(info: Any, correlation_id: Optional[str]) -> Attempt:
    seconds = [getattr(info, f) / 1e6 for f in ("started_after_us", "name_lookup_us", "connect_us", "tls_us",
                                                 "first_byte_us", "total_us")]
    return Attempt(correlation_id or "", *seconds, int(info.http_status), int(info.error_code))


def _outcome(result: int) -> Outcome:
    """Copies everything out of a result the library lends (one call: see orvalis_result_packed)."""
    length = c_size_t()
    packed = _lib.orvalis_result_packed(result, ctypes.byref(length))
    if not packed:
        _check(NO_MEMORY, "result")
    try:
        f = ctypes.string_at(packed, length.value).decode("utf-8", "replace").split("\0")
    finally:
        _lib.orvalis_free(packed)
    end = 10 + 2 * int(f[4])
    headers = list(zip(f[10:end:2], f[11:end:2]))
    attempts = [Attempt(f[i], int(f[i + 1]) / 1e6, int(f[i + 2]) / 1e6, int(f[i + 3]) / 1e6, int(f[i + 4]) / 1e6,
                        int(f[i + 5]) / 1e6, int(f[i + 6]) / 1e6, int(f[i + 7]), int(f[i + 8]))
                for i in range(end, end + 9 * int(f[5]), 9)]
    if f[0] == "1":
        answer = Answer(_json.loads(f[6] or "{}"))
        answer.status, answer.headers, answer.attempts = int(f[1]), headers, attempts
        return answer
    error = OperationError(f[7], int(f[3]), f[8], int(f[1]), _json.loads(f[9]) if f[9] else None, Reached(int(f[2])))
    error.attempts, error.headers = attempts, headers
    body = _lib.orvalis_result_body(result, ctypes.byref(length))
    if body:
        try:
            error.body = ctypes.string_at(body, length.value)
        finally:
            _lib.orvalis_free(body)
    return error


# Answerers of clients by the key passed as user_data, and the last reply of each, kept
# until the library has copied it (it does so right after the answerer returns).
_answerers: Dict[int, Callable[[Request], Reply]] = {}
_replies: Dict[int, bytes] = {}


def _request(e: Any) -> Request:
    headers = [(e.header_names[i].decode(), e.header_values[i].decode()) for i in range(e.header_count)]
    body = ctypes.string_at(e.body, e.body_length) if e.body else None
    return Request(e.method.decode(), e.url.decode(), headers, body)


@_ANSWERER
def _answer(exchange: Any, reply: Any, key: int) -> None:  # on the library's delivery thread
    try:
        answered = _answerers[key](_request(exchange.contents))
    except Exception:  # the answerer failed: nothing was "sent"
        answered = Reply(error_code=-1)
    body = answered.body.encode() if isinstance(answered.body, str) else bytes(answered.body)
    _replies[key] = body
    out = reply.contents
    out.http_status, out.error_code, out.request_sent = answered.status, answered.error_code, int(answered.sent)
    out.content_type = None if answered.content_type is None else answered.content_type.encode()
    out.body, out.body_length = body, len(body)


def check_signature(request: Request, certificate_pem: str, consumer_key: Optional[str] = None) -> Optional[str]:
    """None when request's OAuth signature, body hash and clock window verify against the certificate
    (PEM text) as the merchant server checks them; otherwise the reason."""
    names = (c_char_p * len(request.headers))(*[n.encode() for n, _ in request.headers])
    values = (c_char_p * len(request.headers))(*[v.encode() for _, v in request.headers])
    body = request.body or b""
    exchange = _Exchange(method=request.method, url=request.url, header_count=len(request.headers),
                         header_names=names, header_values=values,
                         body=ctypes.cast(ctypes.c_char_p(body), c_void_p) if request.body is not None else None,
                         body_length=len(body))
    reason = c_void_p()
    _check(_lib.orvalis_check_signature(ctypes.byref(exchange), certificate_pem.encode(),
                                        None if consumer_key is None else consumer_key.encode(),
                                        ctypes.byref(reason)), "signature check")
    return _take(reason.value)


# Observers of clients by the key passed as user_data, and each client's key.
_observers: Dict[int, Callable[[Event], None]] = {}
_observer_of: Dict[int, int] = {}
_KINDS = ("started", "attempt", "completed")


@_OBSERVER
def _observe(event: Any, key: int) -> None:  # mostly on the library's delivery thread
    observer = _observers.get(key)
    if observer is None:
        return
    try:
        e = event.contents
        kind = _KINDS[e.kind]
        if kind == "attempt":
            info = _attempt(e.attempt_info, (e.correlation_id or b"").decode())
            told = Event(kind, e.operation.decode(), e.attempt,
                         None if e.retry_in_ms < 0 else e.retry_in_ms / 1000, info)
        elif kind == "completed":
            outcome = _outcome(e.result)
            told = Event(kind, e.operation.decode(), e.attempt, attempts=list(outcome.attempts),
                         error=outcome if isinstance(outcome, OperationError) else None)
        else:
            told = Event(kind, e.operation.decode(), 0)
        observer(told)
    except Exception:  # nothing may propagate into the library's thread
        pass


_NO_COMPLETION = _COMPLETION()  # NULL: the caller waits with Operation.wait

#: The library's delivery thread (its threading ident), once a completion has run there.
delivery_thread: Optional[int] = None


# The library threads that keep a Python thread state between completions.
_kept_states: "set[int]" = set()


@_COMPLETION
def _trampoline(result: int, key: int) -> None:  # on the library's delivery thread
    global delivery_thread
    delivery_thread = threading.get_ident()
    if delivery_thread not in _kept_states:
        # ctypes otherwise makes this thread a Python thread state for each call and frees it
        # after (its frame stack mapped and unmapped each time: a page fault and two system
        # calls per completion). One more hold keeps the first one until the interpreter ends,
        # which the thread outlives: at exit every operation is waited for before Python shuts down.
        _kept_states.add(delivery_thread)
        ctypes.pythonapi.PyGILState_Ensure()
    with _waiting_lock:
        done = _waiting.pop(key, None)
    try:
        outcome = _outcome(result)
    except Exception as e:  # an answer Python cannot read: still exactly one outcome
        outcome = OperationError("orvalis.python", 0, f"the answer cannot be read: {e}")
    if done is not None:
        try:
            done(outcome)
        except Exception:  # nothing may propagate into the library's thread
            pass


class Operation:
    """An operation in flight; cancel() ends it with a cancelled OperationError. Any thread."""

    def __init__(self, handle: int) -> None:
        self._handle: Optional[int] = handle

    def cancel(self) -> None:
        if self._handle is not None:
            _lib.orvalis_operation_cancel(self._handle)

    def wait(self, seconds: float) -> Optional[Outcome]:
        """The outcome once the operation has completed, None when seconds pass first. Not on the
        delivery thread (which would wait for itself)."""
        result = c_void_p()
        status = _lib.orvalis_operation_wait(self._handle, round(seconds * 1000), ctypes.byref(result))
        if status == TIMEOUT:
            return None
        _check(status, "wait")
        try:
            return _outcome(result.value)  # type: ignore[arg-type]
        finally:
            _lib.orvalis_result_free(result)

    def free(self) -> None:
        handle, self._handle = self._handle, None
        _lib.orvalis_operation_free(handle)


def start(client: int, operation: str, fields: Dict[str, Any], timeout: Optional[float],
          done: Optional[Completion], attempts: Optional[int] = None) -> Operation:
    """Starts an operation; done gets its outcome exactly once, on the delivery thread (None: nothing
    is called, Operation.wait gives it)."""
    function, request_type = _STARTS[operation]
    request = request_type(**fields)
    if attempts is not None and not 1 <= attempts <= 10:
        raise ValueError("attempts must be 1 (no retry) to 10")
    options = None  # the client's
    if timeout is not None or attempts is not None:
        options = ctypes.byref(_CallOptions(overall_timeout_ms=_milliseconds(timeout, "timeout"),
                                            max_attempts=attempts or 0))
    key, handle = 0, c_void_p()
    if done is not None:
        key = next(_keys)
        with _waiting_lock:
            _waiting[key] = done
    completion = _NO_COMPLETION if done is None else _trampoline
    status = function(client, ctypes.byref(request), options, completion, key, ctypes.byref(handle))
    if status != OK:
        with _waiting_lock:
            _waiting.pop(key, None)
        _check(status, operation)
    return Operation(handle.value)  # type: ignore[arg-type]


# ----------------------------------------------------------------- XML

def _take_sized(pointer: Optional[int], length: int) -> str:
    """All length bytes of a text the library handed over (a NUL inside included), then freed."""
    if not pointer:
        return ""
    try:
        return ctypes.string_at(pointer, length).decode("utf-8", "replace")
    finally:
        _lib.orvalis_free(pointer)


def xml_to_json(text: Union[str, bytes], options: Dict[str, int]) -> str:
    data = text.encode() if isinstance(text, str) else bytes(text)
    out, length = c_void_p(), c_size_t()
    _check(_lib.orvalis_xml_to_json_sized(data, len(data), ctypes.byref(_XMLOptions(**options)), ctypes.byref(out),
                                          ctypes.byref(length)), "XML")
    return _take_sized(out.value, length.value)


def json_to_xml(json_text: str) -> str:
    data = json_text.encode()
    out, length = c_void_p(), c_size_t()
    _check(_lib.orvalis_json_to_xml_sized(data, len(data), ctypes.byref(out), ctypes.byref(length)), "tree")
    return _take_sized(out.value, length.value)
