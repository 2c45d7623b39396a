# An operation that failed after retries names the attempt the server answered last.
import re
import pytest, orvalis
from orvalis import OperationError


def test_the_correlation_id_of_a_retried_failure_is_the_last_attempts_nonce(connect):
    nonces = []

    def answer(request):
        nonces.append(re.search(r'oauth_nonce="(\d+)"', dict(request.headers)["Authorization"]).group(1))
        return orvalis.Reply(error_code=-1005, sent=True)  # a lost connection: a read goes again

    with pytest.raises(OperationError) as caught:
        connect("api.example.com", answerer=answer, backoff=0.001).get_precheckout_data(pairing_id="p")
    assert len(caught.value.attempts) == len(set(nonces)) == 3
    assert caught.value.correlation_id == nonces[-1]
