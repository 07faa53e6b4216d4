// The viewer senders' UDP layer: a static table of 128 datagram channels,
// opened, used and closed by number. Failures come back as small negative
// codes, after a message on standard output.
#pragma once

#include <cstdint>

namespace sim {

inline constexpr int kUdpChannelCount = 128;

enum UdpResult : int {
  kUdpOk = 0,
  kUdpBadChannel = -3,
  kUdpNoFreeChannel = -5,
  kUdpStartFailed = -6,
  kUdpSendFailed = -9,
  kUdpSocketFailed = -11,  // socket creation or the reuse option
  kUdpBindFailed = -12,
  kUdpBroadcastFailed = -13,
};

// The local port that means "do not bind".
inline constexpr int kUdpNoBind = -1;

// Opens a channel to address:port (with the broadcast flag, to the
// broadcast address); binds to localPort unless it is kUdpNoBind. Returns the
// channel number 0..127 or a negative UdpResult.
int openUdpChannel(const char* address, std::uint16_t destinationPort, bool broadcast,
                   int localPort);

// Sends `length` bytes on the channel. A channel number is compared as
// unsigned, so a negative one is out of range; so is a channel not open.
int udpSend(int channel, int length, const void* bytes);

// Closes an open channel; nothing for a number out of range or a free channel.
void closeUdpChannel(int channel);

}  // namespace sim
