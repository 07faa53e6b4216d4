// UDP channels over BSD sockets. The socket-library start and clean-up that
// the layer counts per open channel need no work here; they stay counters so
// that every open is matched by one close.
#include "sim/blocks/udp_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace sim {

namespace {

struct UdpChannel {
  int socket;
  std::uint16_t inUse;
  sockaddr_in destination;
  sockaddr_in local;
};

UdpChannel channels[kUdpChannelCount];
int socketLibraryStarts = 0;

constexpr const char* kInvalidSocketText = "Invalid Socket Error %i   %i\n";
constexpr const char* kReuseFailedText = "Error setting reuse socket: %d\n";
constexpr const char* kBindFailedText = "Error %d binding socket to port %u\n";
constexpr const char* kSendFailedText = "Send Error: %d\n";

bool startSocketLibrary() {
  ++socketLibraryStarts;
  return true;
}
void cleanUpSocketLibrary() {
  if (socketLibraryStarts > 0) --socketLibraryStarts;
}

int setOption(int socket, int option) {
  const int on = 1;
  return setsockopt(socket, SOL_SOCKET, option, &on, sizeof on);
}

// A channel that failed half way: its socket is closed, the entry stays free.
int abandon(int socket, int result) {
  close(socket);
  cleanUpSocketLibrary();
  return result;
}

}  // namespace

int openUdpChannel(const char* address, std::uint16_t destinationPort, bool broadcast,
                   int localPort) {
  if (!startSocketLibrary()) {
    std::printf("Error: Winsock not found");
    return kUdpStartFailed;
  }
  int free = 0;
  while (free < kUdpChannelCount && channels[free].inUse != 0) ++free;
  if (free == kUdpChannelCount) {
    cleanUpSocketLibrary();
    return kUdpNoFreeChannel;
  }
  UdpChannel& channel = channels[free];
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) {
    std::printf(kInvalidSocketText, s, errno);
    cleanUpSocketLibrary();
    return kUdpSocketFailed;
  }
  if (setOption(s, SO_REUSEADDR) != 0) {
    std::printf(kReuseFailedText, errno);
    return abandon(s, kUdpSocketFailed);
  }
  channel.local = {};
  channel.local.sin_family = AF_INET;
  channel.local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (localPort != kUdpNoBind) {
    channel.local.sin_port = htons(static_cast<std::uint16_t>(localPort));
    if (bind(s, reinterpret_cast<const sockaddr*>(&channel.local), sizeof channel.local) != 0) {
      std::printf(kBindFailedText, errno, static_cast<unsigned>(localPort));
      return abandon(s, kUdpBindFailed);
    }
  }
  channel.destination = {};
  channel.destination.sin_family = AF_INET;
  channel.destination.sin_port = htons(destinationPort);
  channel.destination.sin_addr.s_addr = inet_addr(address);
  if (broadcast) {
    channel.destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    if (setOption(s, SO_BROADCAST) != 0) return abandon(s, kUdpBroadcastFailed);
  }
  channel.socket = s;
  channel.inUse = 1;
  return free;
}

int udpSend(int channel, int length, const void* bytes) {
  if (static_cast<unsigned>(channel) >= kUdpChannelCount) return kUdpBadChannel;
  const UdpChannel& c = channels[channel];
  // A free entry has no socket of its own (its number may belong to anything).
  if (c.inUse == 0) return kUdpBadChannel;
  if (sendto(c.socket, bytes, length, 0, reinterpret_cast<const sockaddr*>(&c.destination),
             sizeof c.destination) < 0) {
    std::printf(kSendFailedText, errno);
    return kUdpSendFailed;
  }
  return kUdpOk;
}

void closeUdpChannel(int channel) {
  if (static_cast<unsigned>(channel) >= kUdpChannelCount) return;
  UdpChannel& c = channels[channel];
  if (c.inUse == 0) return;
  c.inUse = 0;
  close(c.socket);
  cleanUpSocketLibrary();
}

}  // namespace sim
