"""The library's XML <-> dictionary converter."""
from __future__ import annotations

import enum
from typing import Any, Dict, Union

from . import _json, _native


class AttributesMode(enum.IntEnum):
    """How xml_to_dict stores an element's attributes."""

    PREFIXED = 0  #: each under "_" followed by its name
    GROUPED = 1  #: the whole map under "__attributes"
    UNPREFIXED = 2  #: each under its bare name, merged into the node
    DISCARD = 3  #: dropped


class NodeNameMode(enum.IntEnum):
    """Which nodes xml_to_dict names under "__name"."""

    ROOT_ONLY = 0  #: only the document's root element
    ALWAYS = 1  #: every node
    NEVER = 2  #: none


def xml_to_dict(text: Union[str, bytes], *, collapse_text_nodes: bool = True, strip_empty_nodes: bool = True,
                trim_white_space: bool = True, always_use_arrays: bool = False,
                preserve_comments: bool = False, wrap_root_node: bool = False,
                attributes_mode: AttributesMode = AttributesMode.PREFIXED,
                node_name_mode: NodeNameMode = NodeNameMode.ROOT_ONLY) -> Dict[str, Any]:
    """Turns an XML document (str, or bytes in the encoding it declares) into a tree of dicts, shaped
    by the eight options (defaults as in C++'s XMLParser). Text stays text: numbers are not guessed.
    Raises ValueError, with the reason, line and column, when the document is not well-formed.
    """
    options = dict(collapse_text_nodes=collapse_text_nodes, strip_empty_nodes=strip_empty_nodes,
                   trim_white_space=trim_white_space, always_use_arrays=always_use_arrays,
                   preserve_comments=preserve_comments, wrap_root_node=wrap_root_node,
                   attributes_mode=int(attributes_mode), node_name_mode=int(node_name_mode))
    result: Dict[str, Any] = _json.loads(_native.xml_to_json(text, options))
    return result


def dict_to_xml(tree: Dict[str, Any]) -> str:
    """Writes a tree of the shape xml_to_dict gives as XML text (C++ XMLTree::XMLString): the root is
    named by its "__name" ("root" without one), and a one-entry tree without it, as wrap_root_node
    gives, is that entry's element. Attributes, "__text" and "__comments" are written back; numbers
    (int, float, decimal.Decimal) keep every digit. Raises ValueError for a key that is not an XML
    name, and TypeError or ValueError for what JSON cannot hold (a non-str key, NaN).
    """
    return _native.json_to_xml(_json.dumps(tree))
