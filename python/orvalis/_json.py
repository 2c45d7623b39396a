"""Exact JSON between Python values and the C layer's JSON text."""
from __future__ import annotations

import json
import math
import re
from decimal import Decimal, InvalidOperation
from typing import Any


_SURROGATE = re.compile("[\ud800-\udfff]")


_DECODER = json.JSONDecoder(parse_float=Decimal)  # made once: json.loads would make one per call


def loads(text: str) -> Any:
    """Reads JSON text: integers become int (any size), numbers with a fraction or exponent Decimal
    (every digit kept, 1e400 too)."""
    return _DECODER.decode(text)


def wire_double(value: Any, name: str) -> float:
    """value (float, int, Decimal or numeric str) as the 64-bit double the request carries. ValueError
    naming it when its decimal value would change on the way: the double is written in its shortest
    form, which must equal value. NaN and infinities pass, for the library to refuse (-1232)."""
    if isinstance(value, float):
        return value
    if isinstance(value, bool) or not isinstance(value, (int, Decimal, str)):
        raise TypeError(f"{name} must be a float, int, Decimal or str, not {type(value).__name__}")
    try:
        exact = Decimal(value)
    except InvalidOperation:
        raise ValueError(f"{name} {value!r} is not a number") from None
    if not exact.is_finite():
        return math.nan if exact.is_nan() else float(exact)
    wire = float(exact)  # correctly rounded
    if not math.isfinite(wire) or Decimal(repr(wire)) != exact:  # repr: the shortest form, as the library writes it
        raise ValueError(f"{name} {value!r} has no exact 64-bit double: it would be sent as {wire!r}")
    return wire


def dumps(value: Any) -> str:
    """Writes value as JSON text. Decimal and int are written with every digit; NaN, infinities and
    strings holding a lone surrogate are refused with ValueError."""
    parts: list[str] = []
    _write(value, parts)
    return "".join(parts)


def _text(value: str) -> str:
    # A lone surrogate is not Unicode text: the library refuses it, so it is refused here with its place.
    lone = _SURROGATE.search(value)
    if lone:
        raise ValueError(f"{value[:40]!r} holds a lone surrogate (U+{ord(lone.group()):04X}) at {lone.start()}")
    return json.dumps(value, ensure_ascii=False)


def _write(value: Any, out: list[str]) -> None:
    if value is None or isinstance(value, bool):
        out.append(json.dumps(value))
    elif isinstance(value, str):
        out.append(_text(value))
    elif isinstance(value, int):
        out.append(int.__repr__(value))  # every digit
    elif isinstance(value, (float, Decimal)):
        if not value.is_finite() if isinstance(value, Decimal) else not math.isfinite(value):
            raise ValueError(f"{value!r} has no JSON form")
        out.append(str(value) if isinstance(value, Decimal) else float.__repr__(value))  # as written; shortest
    elif isinstance(value, dict):
        out.append("{")
        for i, (key, item) in enumerate(value.items()):
            if not isinstance(key, str):
                raise TypeError(f"dictionary keys must be str, not {type(key).__name__}")
            out.append(("," if i else "") + _text(key) + ":")
            _write(item, out)
        out.append("}")
    elif isinstance(value, (list, tuple)):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _write(item, out)
        out.append("]")
    else:
        raise TypeError(f"{type(value).__name__} has no JSON form")
