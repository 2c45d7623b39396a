#pragma once

// Library-internal: the transfer library's callbacks that guard what a request
// sends. A request is never sent twice behind the host's back: a second send is
// allowed only when none of its bytes left, or when an HTTP/2 server refused its
// stream. Not installed.
#include <curl/curl.h>

namespace orvalis::detail {

/// CURLOPT_SOCKOPTFUNCTION: the socket of a connection a task opens (user: its TaskState).
int onSocketOpened(void* user, curl_socket_t socket, curlsocktype purpose) noexcept;
/// CURLOPT_CLOSESOCKETFUNCTION: closes and forgets a socket (session: its SessionImpl).
int onSocketClosed(void* session, curl_socket_t socket) noexcept;
/// CURLOPT_PREREQFUNCTION: called before each send of the request (user: its TaskState).
int onPreRequest(void* user, char* conn_primary_ip, char* conn_local_ip, int conn_primary_port,
                 int conn_local_port) noexcept;

}  // namespace orvalis::detail
