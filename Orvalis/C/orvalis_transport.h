/* Orvalis C interface: a client's transport settings (user agent, proxy, trust anchors,
 * pins, connection limits); also reached through <Orvalis/C/orvalis.h>, whose rules
 * (ownership, failures, threads, ABI) hold. */
#ifndef ORVALIS_C_ORVALIS_TRANSPORT_H
#define ORVALIS_C_ORVALIS_TRANSPORT_H

#include <Orvalis/C/orvalis.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Sent as "User-Agent" by the client's requests; NULL or "": "Orvalis/<version>
 *  libcurl/<version>". A line break in it fails orvalis_client_new (INVALID_ARGUMENT). */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_user_agent(orvalis_client_config* config,
                                                                    const char* user_agent);

/** The proxy of the client's requests, as libcurl takes it ("http://host:port",
 *  "socks5h://host:port", credentials as "user:password@"); "": none, whatever the
 *  environment says; NULL (the default): libcurl's environment variables (https_proxy,
 *  http_proxy, all_proxy, no_proxy). A failure on the proxy's side names it. A line
 *  break in it fails orvalis_client_new (INVALID_ARGUMENT). */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_proxy(orvalis_client_config* config, const char* proxy);

/** Trusts the certificates of a PEM file for this client's requests only, beside the
 *  system store and orvalis_add_trusted_certificates. INVALID_ARGUMENT when the file
 *  holds no readable certificate. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_add_trusted_certificates(orvalis_client_config* config,
                                                                              const char* pem_path);

/** Requires host's server to present one of pins ("sha256//<base64>" entries joined by
 *  ";") for this client's requests, over any pin of the process for host; "" removes
 *  it. INVALID_ARGUMENT for a malformed list. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_pin_public_keys(orvalis_client_config* config,
                                                                     const char* host, const char* pins);

/** How many connections and HTTP/2 streams the library's transport uses at once: to one
 *  host (default 32), to all hosts (128), requests on one HTTP/2 connection when its
 *  server allows them (1000). The client then has a transport of its own, shared only with
 *  clients of the same limits: they bind it alone. A value out of range (1 to 65,535
 *  connections, per host at most in all, 1 to 2,147,483,647 streams) fails
 *  orvalis_client_new (INVALID_ARGUMENT). INVALID_ARGUMENT when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_connection_limits(orvalis_client_config* config,
                                                                           long per_host, long total,
                                                                           long streams_per_connection);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ORVALIS_C_ORVALIS_TRANSPORT_H */
