#!/usr/bin/env python3
"""The six merchant operations from Python, in checkout order, each step taking what it needs
from the previous answer; then two at once with asyncio.

    PYTHONPATH=<build>/python python3 checkout.py --host HOST --resources DIR --consumer-key KEY
        --key-file NAME --password PASSWORD [--trust SERVER_CA.pem] [--quiet]

DIR holds NAME.p12 (the merchant's key) and AuthorizePairing.xml (the authorize-pairing
template). Exits 1 when an operation fails.
"""
import argparse
import asyncio
import sys
from decimal import Decimal

import orvalis


def checkout(client: orvalis.Client) -> None:
    init = client.initialize_pairing(checkout_id="checkout-1001", user_id="user-42")
    paired = client.get_pairing_id(pairing_transaction_id=init["pairingTransactionId"], user_id="user-42")
    client.authorize_pairing(checkout_id="checkout-1001", pairing_transaction_id=paired["pairingTransactionId"])
    pre = client.get_precheckout_data(pairing_id=paired["pairingId"])
    # A payment: after a failure whose reached is not Reached.NO it may have been taken.
    # Never send it again blindly: keep the error's correlation_id with the order and
    # settle it with the payment service (get_payment_data needs the lost transactionId).
    # An amount the wire's double cannot carry exactly raises ValueError before anything is sent.
    paid = client.express_checkout(
        checkout_id="checkout-1001", pairing_id=pre["pairingId"],
        pre_checkout_transaction_id=pre["preCheckoutTransactionId"], amount=Decimal("49.90"), currency="EUR",
        card_id=pre["cards"][0]["cardId"], shipping_address_id=pre["shippingAddresses"][0]["id"])
    data = client.get_payment_data(transaction_id=paid["transactionId"], checkout_id="checkout-1001",
                                   cart_id="cart-7")
    print("paid with", data["card"]["brandName"], data["card"]["lastFour"])


async def two_at_once(client: orvalis.AsyncClient) -> None:
    pre, data = await asyncio.gather(client.get_precheckout_data(pairing_id="sbx-pairing-0001"),
                                     client.get_payment_data(transaction_id="sbx-tx-0001", checkout_id="checkout-1001",
                                                             cart_id="cart-7"))
    print("asyncio:", len(pre["cards"]), "card(s),", data["transactionId"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for flag in ("--host", "--resources", "--consumer-key", "--key-file", "--password"):
        parser.add_argument(flag, required=True)
    parser.add_argument("--trust", help="PEM file of a test server's certificate authority")
    parser.add_argument("--quiet", action="store_true", help="no diagnostic lines")
    args = parser.parse_args()

    if args.quiet:
        orvalis.set_log_handler(None)  # they hold full bodies and headers
    orvalis.set_resource_path(args.resources)
    if args.trust:
        orvalis.add_trusted_certificates(args.trust)
    settings = dict(host=args.host, consumer_key=args.consumer_key, key_name=args.key_file,
                    key_password=args.password, idle_timeout=30)
    try:
        with orvalis.Client(**settings) as client:
            checkout(client)
        with orvalis.AsyncClient(**settings) as client:
            asyncio.run(two_at_once(client))
    except orvalis.OperationError as e:
        # The whole failure: the error, the HTTP status, the server's own entry, whether it was sent.
        print(f"FAILED: {e.message} ({e.domain} {e.code}, HTTP {e.status}, server: {e.server_error}, "
              f"reached: {e.reached.name})", file=sys.stderr)
        return 1
    print("all operations succeeded")
    return 0


if __name__ == "__main__":
    sys.exit(main())
