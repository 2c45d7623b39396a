"""Orvalis for Python: signed calls to a payment service's six merchant web operations, and the
library's XML <-> dictionary converter, over Orvalis' C interface (ctypes; no compiled extension).

    import orvalis
    orvalis.set_resource_path("resources")  # AuthorizePairing.xml (and key resources)
    with orvalis.Client("api.example.com", "consumer-key", key_file="merchant.p12",
                        key_password="secret") as client:
        answer = client.initialize_pairing(checkout_id="checkout-1001", user_id="user-42")

Answers are dicts (Answer, which also carries the HTTP status, headers and attempts) decoded from the
library's JSON text: integers are int, other numbers decimal.Decimal, both with every digit the server
sent. A failure, an HTTP status outside 2xx included, raises OperationError.
The shared library is found through ORVALIS_LIBRARY, else inside the package (a wheel carries
it), else in the tree the package was installed in (cmake --install), else by the system's
library search.
"""
from ._client import AsyncClient, Client
from ._errors import (CANCELLED, HTTP_ERROR_DOMAIN, NETWORK_ERROR_DOMAIN, URL_ERROR_DOMAIN, Answer, Attempt, Event,
                      JournalError, OperationError, Reached, Reply, Request)
from ._journal import Journal, journal_instance_id, set_journal_instance
from ._native import (add_trusted_certificates, check_signature, clear_key_cache, key_cache_count, library_version,
                      pin_public_keys, reset_log_handler, set_key_cache_lifetime, set_log_handler, set_resource_path)
from ._xml import AttributesMode, NodeNameMode, dict_to_xml, xml_to_dict

__all__ = ["Answer", "AsyncClient", "Attempt", "AttributesMode", "CANCELLED", "Client", "Event", "HTTP_ERROR_DOMAIN",
           "Journal", "JournalError", "NETWORK_ERROR_DOMAIN", "NodeNameMode", "OperationError", "Reached", "Reply",
           "Request", "URL_ERROR_DOMAIN", "add_trusted_certificates", "check_signature", "clear_key_cache",
           "dict_to_xml", "journal_instance_id", "key_cache_count", "library_version", "pin_public_keys",
           "reset_log_handler", "set_journal_instance", "set_key_cache_lifetime", "set_log_handler", "set_resource_path",
           "xml_to_dict"]
