// Starts and cancels operations through the C interface, from C.
#include <Orvalis/C/orvalis.h>

#include <stdatomic.h>

static atomic_int seen[4];  // callbacks, cancelled, called inside the start call, waits refused
static _Thread_local int starting;

static void count(const orvalis_result* result, void* client) {
    atomic_fetch_add(&seen[0], 1);
    atomic_fetch_add(&seen[1], orvalis_result_error_code(result) == ORVALIS_URL_ERROR_CANCELLED);
    atomic_fetch_add(&seen[2], starting);
    atomic_fetch_add(&seen[3], orvalis_client_wait_idle(client, 0) == ORVALIS_ERROR_WRONG_THREAD);
}

// Starts n operations of client (pre-checkout data of pairing_id) and cancels each at once (every
// other one through its handle, the rest with the client), then frees the client. Nonzero when a
// call failed.
int start_and_cancel(orvalis_client* client, const char* pairing_id, int n, int counts[4]) {
    orvalis_precheckout_data_request request = {sizeof request, pairing_id};
    int failed = 0;
    for (int i = 0; i < 4; ++i) atomic_store(&seen[i], 0);
    for (int i = 0; i < n && !failed; ++i) {
        orvalis_operation* operation = NULL;
        starting = 1;  // cleared right after the call
        failed = orvalis_client_get_precheckout_data(client, &request, NULL, count, client, i % 2 ? &operation : NULL);
        starting = 0;
        failed = failed || (operation ? orvalis_operation_cancel(operation) : orvalis_client_cancel_all(client));
        orvalis_operation_free(operation);
    }
    failed = failed || orvalis_client_wait_idle(client, 120000);
    orvalis_client_free(client);
    for (int i = 0; i < 4; ++i) counts[i] = atomic_load(&seen[i]);
    return failed;
}
