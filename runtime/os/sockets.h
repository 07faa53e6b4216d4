// Sockets for Lisp code, behind pseudo descriptors of kind 2: stream and
// datagram sockets over IPv4 and IPv6, listening and accepting, connects that
// complete later, out-of-band data and address queries. Lisp code calls these
// by name.
//
// Calls that make or use a socket return a descriptor (>= 0) or a count on
// success, the negated socket error on failure, and for a connect still in
// progress its pending-event index plus 0x10000 (pending_events.h). An IPv4
// address is passed as an integer in host order, an IPv6 address as 16 bytes
// in network order (null for none). Every socket is non-blocking and closed
// on exec; a watcher thread (socket_watchers.h) signals its entry's events.
#pragma once

#include <cstdint>

extern "C" {
// ---- start and end ----
// Creates the initialisation lock; the start-up calls it first.
void ipc_pre_init();
// Once: the pending-event lock, the watchers' lock and the interface list.
// Returns 0.
int32_t ipc_initialize();
// Called by the launcher after the Lisp ends; sockets stay usable.
int32_t ipc_shutdown();

// ---- making sockets ----
// Flags are the option bits of ipc_set_socket_flags, set first, then cleared.
// `waiter` is the gate opened when a pending connect finishes (0: none).
int32_t ipc_inet_socket_connect4(uint32_t localAddress, const uint8_t* localAddress6,
                                 int32_t localPort, uint32_t remoteAddress,
                                 const uint8_t* remoteAddress6, int32_t remotePort,
                                 uint32_t scopeId, int32_t flagsToSet, int32_t flagsToClear,
                                 uint32_t waiter);
// A negative port leaves the socket unbound, a negative backlog asks for the
// largest.
int32_t ipc_inet_socket_passive2(uint32_t address, const uint8_t* address6, int32_t port,
                                 int32_t backlog, int32_t flagsToSet, int32_t flagsToClear);
int32_t ipc_accept_connection(int32_t listener);
int32_t ipc_inet_dgram_socket4(uint32_t address, const uint8_t* address6, int32_t port,
                               int32_t flagsToSet, int32_t flagsToClear);

// ---- datagrams ----
int32_t ipc_inet_send_to2(int32_t descriptor, uint32_t address, const uint8_t* address6,
                          uint32_t scopeId, int32_t port, const char* data, int32_t length);
// The sender: IPv4: port (2 bytes) then address (4); IPv6: port, address (16)
// and scope id (4); all in network order.
int32_t ipc_inet_receive_from2(int32_t descriptor, char* buffer, int32_t size, int32_t ipv6,
                               uint8_t* sender);

// ---- options ----
// Bits: 1 SO_REUSEADDR, 2 SO_BROADCAST, 4 SO_KEEPALIVE, 8 TCP_NODELAY,
// 16 SO_OOBINLINE.
int32_t ipc_set_socket_flags(int32_t descriptor, int32_t flagsToSet, int32_t flagsToClear);
// which 1: send buffer size, 2: receive buffer size; others do nothing.
int32_t ipc_set_socket_option_value(int32_t descriptor, int32_t which, int32_t value);

// ---- addresses ----
// Without `address6` the IPv4 address in host order; with it the IPv6
// address is stored and its scope id returned. 0 on failure.
uint32_t ipc_get_socket_ipaddr2(int32_t descriptor, uint8_t* address6);
uint32_t ipc_get_socket_peer_ipaddr2(int32_t descriptor, uint8_t* address6);
// The port in host order, 0 on failure. The IPv6 flag changes nothing: the
// port has the same place in both address records.
int32_t ipc_get_socket_port2(int32_t descriptor, int32_t ipv6);
int32_t ipc_get_socket_peer_port2(int32_t descriptor, int32_t ipv6);
// The port of a service in host order, 0 when unknown.
int32_t ipc_locate_port(const char* service, const char* protocol);

// ---- using sockets ----
int32_t ipc_sockshutdown(int32_t descriptor, int32_t how);
// Out-of-band bytes start to end (each times the element size when it exceeds 1).
int32_t ipc_write_sequence_oob(int32_t descriptor, const char* buffer, int32_t start,
                               int32_t end, int32_t elementSize);
int32_t ipc_read_sequence_oob(int32_t descriptor, char* buffer, int32_t start, int32_t end,
                              int32_t elementSize);
// 1 when out-of-band data is waiting, else 0.
int32_t ipc_listen_oob(int32_t descriptor);
int32_t ipc_data_available(int32_t descriptor);
int32_t ipc_get_last_error();
int32_t ipc_closesocket(int32_t descriptor);
// The socket of a socket entry, else -1.
int32_t ipc_os_fd(int32_t descriptor);
int32_t ipc_cancel_block();

// ---- pending connects ----
// Connect: the descriptor when it succeeded, else the negated error (the
// socket and its entry are released); lookup: its result.
int32_t ipc_reap_event(int32_t index);
// Abandons a connect: its socket and entry are released. 0 or -1.
int32_t ipc_end_pending_connect(int32_t index);
}
