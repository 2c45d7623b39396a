"""Orvalis for Python: signed calls to a payment service's six merchant web operations, and the
library's XML <-> dictionary converter, over Orvalis' C interface (ctypes; no compiled extension).

    import orvalis
    orvalis.set_resource_path("resources")  # AuthorizePairing.xml (and key resources)
    with orvalis.Client("api.example.com", "consumer-key", key_file="merchant.p12",
                        key_password="secret") as client:
        answer = client.initialize_pairing(checkout_id="checkout-1001", user_id="user-42")

Answers are dicts decoded from the library's JSON text: integers are int, other numbers
decimal.Decimal, both with every digit the server sent. A failure raises OperationError.
The shared library is found through ORVALIS_LIBRARY, else inside the package (a wheel carries
it), else by the system's library search.
"""
from ._client import AsyncClient, Client
from ._errors import (CANCELLED, NETWORK_ERROR_DOMAIN, URL_ERROR_DOMAIN, Attempt, Event, JournalError,
                      OperationError, Reached, Reply, Request)
from ._journal import Journal
from ._native import (add_trusted_certificates, check_signature, library_version, pin_public_keys,
                      reset_log_handler, set_log_handler, set_resource_path)
from ._xml import AttributesMode, NodeNameMode, dict_to_xml, xml_to_dict

__all__ = ["AsyncClient", "Attempt", "AttributesMode", "CANCELLED", "Client", "Event", "Journal", "JournalError",
           "NETWORK_ERROR_DOMAIN",
           "NodeNameMode", "OperationError", "Reached", "Reply", "Request", "URL_ERROR_DOMAIN",
           "add_trusted_certificates", "check_signature", "dict_to_xml",
           "library_version", "pin_public_keys", "reset_log_handler", "set_log_handler", "set_resource_path",
           "xml_to_dict"]
