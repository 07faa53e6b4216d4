// A network of the test's own: the calling process moves into a network
// namespace that holds only a loopback interface, so programs it starts can
// be listened to at their fixed addresses (the viewer port) without meeting
// the datagrams of other processes on the machine.
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

// Enters the private network once per process; "" on success, else the
// reason it is not possible here (no privilege for namespaces, say).
std::string enterPrivateLoopback();

// A UDP socket bound to 127.0.0.1:port whose receive queue holds a whole
// run's datagrams; -1 when it cannot be bound. Not inherited by children.
int bindLoopbackDatagramSocket(std::uint16_t port);

}  // namespace testing_support
