/* checkout: the six merchant operations through the C interface, against a
 * server such as orvalis-sandbox.
 *
 *   checkout --host HOST --resources DIR --consumer-key KEY --key-file NAME
 *            --password PASSWORD [--trust SERVER_CA.pem] [--quiet]
 *
 * Exits 0 when all six succeeded. The ids are the sandbox's; a real host reads
 * them from the previous answers (orvalis_result_answer_json). */
#include <Orvalis/C/orvalis.h>

#include <stdio.h>
#include <string.h>

/* Waits for one operation, prints its outcome and frees it; 1 on success. */
static int finish(const char* name, orvalis_status started, orvalis_operation* operation, int quiet) {
    orvalis_result* result = NULL;
    if (started != ORVALIS_OK || orvalis_operation_wait(operation, 60000, &result) != ORVALIS_OK) {
        char* why = orvalis_last_error();
        printf("%-24s not run: %s\n", name, why ? why : orvalis_status_text(started));
        orvalis_free(why);
        orvalis_operation_free(operation);
        return 0;
    }
    int ok = orvalis_result_succeeded(result);
    char* text = ok ? orvalis_result_answer_json(result) : orvalis_result_error_message(result);
    if (ok && quiet) {
        printf("%-24s ok (HTTP %d)\n", name, orvalis_result_http_status(result));
    } else {
        printf("%-24s %s (HTTP %d): %s\n", name, ok ? "ok" : "FAILED", orvalis_result_http_status(result), text);
    }
    orvalis_free(text);
    orvalis_result_free(result);
    orvalis_operation_free(operation);
    return ok;
}

/* A completion callback: runs once, on the library's delivery thread. */
static void paid(const orvalis_result* result, void* user_data) {
    *(int*)user_data = orvalis_result_succeeded(result);
}

int main(int argc, char** argv) {
    const char *host = NULL, *resources = NULL, *consumer_key = NULL, *key_file = NULL, *password = NULL;
    const char* trust = NULL;
    int quiet = 0;
    for (int i = 1; i < argc; ++i) {
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(argv[i], "--quiet") == 0) quiet = 1;
        else if (value && strcmp(argv[i], "--host") == 0) host = argv[++i];
        else if (value && strcmp(argv[i], "--resources") == 0) resources = argv[++i];
        else if (value && strcmp(argv[i], "--consumer-key") == 0) consumer_key = argv[++i];
        else if (value && strcmp(argv[i], "--key-file") == 0) key_file = argv[++i];
        else if (value && strcmp(argv[i], "--password") == 0) password = argv[++i];
        else if (value && strcmp(argv[i], "--trust") == 0) trust = argv[++i];
        else return fprintf(stderr, "checkout: unknown argument %s\n", argv[i]), 2;
    }
    if (!host || !resources || !consumer_key || !key_file || !password) {
        fprintf(stderr, "usage: checkout --host HOST --resources DIR --consumer-key KEY --key-file NAME "
                        "--password PASSWORD [--trust CA.pem] [--quiet]\n");
        return 2;
    }
    printf("Orvalis %s\n", orvalis_version());
    if (quiet) orvalis_set_log_handler(NULL, NULL);
    orvalis_set_resource_path(resources); /* the key file and the AuthorizePairing.xml template */
    if (trust && orvalis_add_trusted_certificates(trust) != ORVALIS_OK) {
        fprintf(stderr, "checkout: no certificate in %s\n", trust);
        return 1;
    }

    /* One client carries the host and the credentials for every operation. */
    orvalis_client_config* config = NULL;
    orvalis_key_source* key = NULL;
    orvalis_client* client = NULL;
    orvalis_client_config_new(&config);
    orvalis_key_source_resource(key_file, &key);
    orvalis_client_config_set_host(config, host);
    orvalis_client_config_set_consumer_key(config, consumer_key);
    orvalis_client_config_set_key_source(config, key);
    orvalis_client_config_set_key_password(config, password);
    orvalis_status status = orvalis_client_new(config, &client);
    orvalis_client_config_free(config); /* the client keeps its own copy */
    orvalis_key_source_free(key);
    if (status != ORVALIS_OK) return fprintf(stderr, "checkout: no client: %s\n", orvalis_status_text(status)), 1;

    int ok = 1;
    orvalis_operation* op = NULL; /* each start sets it; finish() frees it */
    orvalis_initialize_pairing_request init = {
        .struct_size = sizeof init, .checkout_id = "checkout-1001", .user_id = "user-42"};
    status = orvalis_client_initialize_pairing(client, &init, NULL, NULL, NULL, &op);
    ok &= finish("initialize pairing", status, op, quiet);
    orvalis_pairing_id_request pairing = {
        .struct_size = sizeof pairing, .pairing_transaction_id = "sbx-ptx-0001", .user_id = "user-42"};
    status = orvalis_client_get_pairing_id(client, &pairing, NULL, NULL, NULL, &op);
    ok &= finish("pairing id", status, op, quiet);
    orvalis_authorize_pairing_request authorize = {
        .struct_size = sizeof authorize, .checkout_id = "checkout-1001", .pairing_transaction_id = "sbx-ptx-0001"};
    status = orvalis_client_authorize_pairing(client, &authorize, NULL, NULL, NULL, &op);
    ok &= finish("authorize pairing", status, op, quiet);
    orvalis_precheckout_data_request pre = {.struct_size = sizeof pre, .pairing_id = "sbx-pairing-0001"};
    status = orvalis_client_get_precheckout_data(client, &pre, NULL, NULL, NULL, &op);
    ok &= finish("precheckout data", status, op, quiet);
    orvalis_express_checkout_request express = {.struct_size = sizeof express,
                                                .checkout_id = "checkout-1001",
                                                .pairing_id = "sbx-pairing-0001",
                                                .pre_checkout_transaction_id = "sbx-pre-0001",
                                                .amount = 49.90,
                                                .currency = "EUR",
                                                .card_id = "sbx-card-1",
                                                .shipping_address_id = "sbx-ship-1"};
    /* A payment: after a failure whose orvalis_result_reached() is not
     * ORVALIS_REACHED_NO it may have been taken. Never send it again blindly: keep
     * orvalis_result_attempt_correlation_id() with the order and settle it with the
     * payment service (payment data needs the transaction id of the lost answer). */
    status = orvalis_client_express_checkout(client, &express, NULL, NULL, NULL, &op);
    ok &= finish("express checkout", status, op, quiet);

    /* With a callback instead of a wait: no handle kept, the client waits for it. */
    int payment_ok = 0;
    orvalis_payment_data_request payment = {.struct_size = sizeof payment,
                                            .transaction_id = "sbx-tx-0001",
                                            .checkout_id = "checkout-1001",
                                            .cart_id = "cart-7"};
    status = orvalis_client_get_payment_data(client, &payment, NULL, paid, &payment_ok, NULL);
    if (status != ORVALIS_OK || orvalis_client_wait_idle(client, 60000) != ORVALIS_OK) payment_ok = 0;
    printf("%-24s %s\n", "payment data (callback)", payment_ok ? "ok" : "FAILED");

    orvalis_client_free(client);
    return ok && payment_ok ? 0 : 1;
}
