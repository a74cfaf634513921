#pragma once

#include <asio/ip/udp.hpp>

// Socket specifics of the UDP sender that differ by system.
namespace vn::network {

// Sets the IP type-of-service byte of outgoing datagrams; false when the
// system refused (callers ignore it: the mark is only a request to routers).
bool set_type_of_service(asio::ip::udp::socket& socket, int tos);

// Keeps an ICMP "port unreachable" for an earlier datagram from failing the
// socket's next receive: Windows reports it as WSAECONNRESET on UDP sockets
// unless SIO_UDP_CONNRESET is turned off; other systems do not report it.
void ignore_port_unreachable(asio::ip::udp::socket& socket);

// Cancels the socket's outstanding operations before it is closed: CancelIoEx
// on its handle on Windows (outstanding overlapped I/O of any thread), the
// reactor's cancel elsewhere. Errors are ignored; the socket may be closed.
void cancel_pending_io(asio::ip::udp::socket& socket);

}  // namespace vn::network
