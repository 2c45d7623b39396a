# The Python package over the C interface, against orvalis-sandbox on 127.0.0.1.
import asyncio, socket, time
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal
import pytest, orvalis
from orvalis import AttributesMode, NodeNameMode, OperationError, Reached
from conftest import BIG, SUM, WIDE_VALUES


def test_six_operations_return_answers_with_exact_numbers(good, connect):
    c = connect(good)
    init = c.initialize_pairing(checkout_id="c-1", user_id="u 1")
    paired = c.get_pairing_id(pairing_transaction_id=init["pairingTransactionId"], user_id="u 1")
    assert (init["userId"], paired["pairingTransactionId"], paired["userId"]) == ("u 1", "sbx-ptx-0001", "u 1")
    assert c.authorize_pairing(checkout_id="c-1", pairing_transaction_id="p")["PairingId"] == "sbx-pairing-0001"
    pre = c.get_precheckout_data(pairing_id=paired["pairingId"])
    paid = c.express_checkout(checkout_id="c-1", pairing_id=pre["pairingId"], pre_checkout_transaction_id="pt",
                              amount=49.9, currency="EUR", card_id=pre["cards"][0]["cardId"], shipping_address_id="s",
                              digital_goods=True)
    assert paid["received"] == {"checkoutId": "c-1", "pairingId": "sbx-pairing-0001", "preCheckoutTransactionId": "pt",
                                "amount": Decimal("49.9"), "currency": "EUR", "cardId": "sbx-card-1",
                                "shippingAddressId": "s", "digitalGoods": True}
    data = c.get_payment_data(transaction_id=paid["transactionId"], checkout_id="c-1", cart_id="k")
    assert data == {"id": int(BIG), "amount": Decimal(SUM), "n": -7, **WIDE_VALUES,
                    "far": Decimal("1e400"), "near": Decimal("1e309")}
    assert all(type(data[k]) is int for k in WIDE_VALUES)


def test_an_answer_with_a_lone_surrogate_fails_as_malformed(odd, connect):
    with pytest.raises(OperationError) as caught:
        connect(odd).get_payment_data(transaction_id="t", checkout_id="c", cart_id="k")
    assert (caught.value.domain, caught.value.code, caught.value.status) == (orvalis.NETWORK_ERROR_DOMAIN, 101, 200)


@pytest.mark.parametrize("tree", [{"r": "\udc00"}, {"\ud800": "x"}, {"r": "a\x00b"}, {"r": {"__a b": "1"}},
                                  {"__name": 5}, {"r": {"__comments": "a--"}}, {"r": "\ufffe"}],
                         ids=["lone-surrogate", "lone-surrogate-key", "nul", "attribute", "name-not-text",
                              "comment", "non-character"])
def test_dict_to_xml_refuses_what_xml_cannot_carry(tree):
    with pytest.raises(ValueError):
        orvalis.dict_to_xml(tree)


def test_server_error_carries_the_whole_failure(faulty, connect):
    with pytest.raises(OperationError) as caught:
        connect(faulty).get_pairing_id(pairing_transaction_id="p", user_id="u")
    e = caught.value
    assert (e.domain, e.code, e.message, e.status) == (orvalis.NETWORK_ERROR_DOMAIN, 101, "Injected failure", 200)
    assert e.server_error == {"description": "Injected failure", "reasonCode": "SYSTEM_ERROR"}
    assert e.reached is Reached.YES and not e.cancelled


def test_transport_failure_says_nothing_was_sent(connect):
    with socket.socket() as s, pytest.raises(OperationError) as caught:
        s.bind(("127.0.0.1", 0))  # bound, not listening: connections are refused
        connect("127.0.0.1:%d" % s.getsockname()[1]).initialize_pairing(checkout_id="c", user_id="u")
    e = caught.value
    assert (e.domain, e.code, e.status, e.server_error) == (orvalis.URL_ERROR_DOMAIN, -1004, 0, None)
    assert e.reached is Reached.NO and not e.cancelled


def test_cancel_all_ends_a_blocking_call(faulty, connect):
    c = connect(faulty)
    with ThreadPoolExecutor() as pool:
        call = pool.submit(c.initialize_pairing, checkout_id="c", user_id="u")  # answered after 5 s
        while not c.in_flight and not call.done():
            time.sleep(0.01)
        c.cancel_all()
        assert isinstance(call.exception(timeout=10), OperationError) and call.exception().cancelled


def test_async_operations_run_together_and_task_cancellation_cancels(good, faulty, connect):
    async def main():
        c, slow = connect(good, orvalis.AsyncClient), connect(faulty, orvalis.AsyncClient)
        a, b = await asyncio.gather(c.initialize_pairing(checkout_id="c-1", user_id="u"),
                                    slow.get_payment_data(transaction_id="t-1", checkout_id="c-2", cart_id="k-3"))
        assert (a["checkoutId"], b["transactionId"], b["checkoutId"], b["cartId"]) == ("c-1", "t-1", "c-2", "k-3")
        task = asyncio.create_task(slow.initialize_pairing(checkout_id="c", user_id="u"))
        await asyncio.sleep(0.5)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert slow.wait_idle(3.0)  # the operation itself ended, long before the server's answer
        with pytest.raises(OperationError) as caught:
            await slow.get_pairing_id(pairing_transaction_id="p", user_id="u")
        assert caught.value.code == 101
    asyncio.run(main())


XML = '<Order id="7"><!--gift--><Item>a</Item><Item>b</Item><Empty/><Note> hi </Note></Order>'


@pytest.mark.parametrize("options, expected", [
    ({}, {"__name": "Order", "_id": "7", "Item": ["a", "b"], "Note": "hi"}),
    ({"attributes_mode": AttributesMode.GROUPED, "node_name_mode": NodeNameMode.NEVER},
     {"__attributes": {"id": "7"}, "Item": ["a", "b"], "Note": "hi"}),
    ({"trim_white_space": False, "preserve_comments": True, "attributes_mode": AttributesMode.DISCARD},
     {"__name": "Order", "__comments": ["gift"], "Item": ["a", "b"], "Note": " hi "}),
    ({"always_use_arrays": True, "strip_empty_nodes": False},
     {"__name": "Order", "_id": "7", "Item": ["a", "b"], "Empty": [{}], "Note": ["hi"]}),
    ({"collapse_text_nodes": False, "wrap_root_node": True, "attributes_mode": AttributesMode.UNPREFIXED,
      "node_name_mode": NodeNameMode.ALWAYS}, {"Order": {"__name": "Order", "id": "7", "Item": [{"__name": "Item",
      "__text": "a"}, {"__name": "Item", "__text": "b"}], "Note": {"__name": "Note", "__text": "hi"}}}),
], ids=["defaults", "grouped-unnamed", "untrimmed-comments", "arrays-empty-kept", "uncollapsed-wrapped-named"])
def test_xml_to_dict_options(options, expected):
    assert orvalis.xml_to_dict(XML, **options) == expected


def test_xml_round_trip_keeps_every_digit():
    tree = {"__name": "Pay", "_id": "7", "amount": Decimal(SUM), "big": int(BIG), "tags": ["a", "<b&>"]}
    assert orvalis.xml_to_dict(orvalis.dict_to_xml(tree)) == {**tree, "amount": SUM, "big": BIG}  # text in XML
    with pytest.raises(ValueError):
        orvalis.xml_to_dict("no element here")
