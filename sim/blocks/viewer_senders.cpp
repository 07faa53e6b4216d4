// FootSend and OgreSend: the blocks that send the external 3-D viewer its
// text commands (show or hide a foot marker; the ramp position).
//
// Work vectors: integer [channel, datagram length], pointer [text buffer].
// Parameters: address (character codes), port, local port, (foot index,)
// sample time, each as [rows, cols, values...].
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/blocks/driver_blocks.h"
#include "sim/blocks/two_decimal_text.h"
#include "sim/blocks/udp_channel.h"

namespace sim {

namespace {

// ---------------------------------------------------------------------------
// Texts

constexpr const char* kFootHideText = "drelvik.0:ramp.0:foot.%1d show 0";
constexpr const char* kFootShowText = "drelvik.0:ramp.0:foot.%1d show  ";
// The ramp-position text is "drelvik.0:ramp.0 p %5.2f", written as the prefix
// and then the number (writeTwoDecimals makes what the format makes).
constexpr char kRampPositionPrefix[] = "drelvik.0:ramp.0 p ";
constexpr int kRampPositionPrefixLength = sizeof kRampPositionPrefix - 1;
constexpr const char* kRampPositionNumber = "%5.2f";
constexpr double kRampPositionSample = 123.45;  // sizes the ramp-position datagram

constexpr const char* kWrongParameterCountText =
    "Wrong number of input arguments passed.\n%d arguments are expected\n";
constexpr const char* kNoMemoryText = "Error in udpcharsend: memory allocation failed";
constexpr const char* kNoChannelText = "Error: No udp Channel free or udp error";
constexpr const char* kAddressTooLongText =
    "Error: udp address parameter must be a text of at most 15 characters";

constexpr const char* kBroadcastAddress = "255.255.255.255";
constexpr int kAddressCapacity = 16;  // at most 15 characters and the zero

// The ramp-position buffer holds any formatted number; only the first
// datagram-length bytes are sent.
constexpr int kRampPositionBufferSize = 400;
static_assert(kRampPositionBufferSize >= kRampPositionPrefixLength + kTwoDecimalTextCapacity);

enum Parameter : int { kAddress = 0, kPort = 1, kLocalPort = 2, kFootIndex = 3 };
enum IntegerWork : int { kChannel = 0, kDatagramLength = 1 };
constexpr int kNoChannel = -1;

constexpr int kFootParameterCount = 5;
constexpr int kOgreParameterCount = 4;

// Per block type, the text buffer its messages are formatted into.
char footStatusText[128];
char ogreStatusText[128];

// ---------------------------------------------------------------------------
// Parameters

int rows(const double* p) {
  return static_cast<int>(p[0]);
}
int cols(const double* p) {
  return static_cast<int>(p[1]);
}
int scalar(const double* p) {
  return static_cast<int>(p[2]);
}

// The address text from its character codes; false when it does not fit.
bool addressText(const double* p, char (&text)[kAddressCapacity]) {
  std::memset(text, 0, sizeof text);
  const int r = rows(p), c = cols(p);
  if (r < 0 || c < 0 || static_cast<long long>(r) * c > kAddressCapacity - 1) return false;
  for (int i = 0; i < r * c; ++i) text[i] = static_cast<char>(static_cast<int>(p[2 + i]));
  return true;
}

int localPort(const double* p) {
  const int port = scalar(p);
  return port < 0 ? kUdpNoBind : static_cast<std::uint16_t>(port);
}

void setStatus(BlockRecord* block, const char* text) {
  *block->modelInfo->errorStatus = text;
}

// ---------------------------------------------------------------------------
// Shared callbacks

bool checkParameterCount(BlockRecord* block, int expected, char* statusText) {
  // No channel until start opens one: terminate of a block that never
  // started (or was refused here) then closes nothing.
  block->integerWork[kChannel] = kNoChannel;
  block->expectedParameterCount = expected;
  if (block->numParameters == expected) return true;
  std::snprintf(statusText, 128, kWrongParameterCountText, expected);
  setStatus(block, statusText);
  return false;
}

void sizeSender(BlockRecord* block, int inputType) {
  block->numContinuousStates = 0;
  block->numDiscreteStates = 0;
  block->numInputPorts = 1;
  block->inputWidth = 1;
  block->inputDataType = inputType;
  block->numOutputPorts = 0;
  block->numSampleTimes = 1;
  block->numIntegerWork = 2;
  block->numRealWork = 0;
  block->numPointerWork = 1;
}

void senderSampleTimes(BlockRecord* block) {
  if (block->numParameters != block->expectedParameterCount) return;
  *block->sampleTime = block->parameters[block->numParameters - 1][2];
  *block->offset = 0.0;
}

// Allocates the text buffer and opens the channel; the block's status on
// failure.
void startSender(BlockRecord* block, int bufferSize, int datagramLength) {
  block->integerWork[kDatagramLength] = datagramLength;
  char address[kAddressCapacity];
  if (!addressText(block->parameters[kAddress], address)) {
    setStatus(block, kAddressTooLongText);
    return;
  }
  void* buffer = std::calloc(bufferSize, 1);
  if (buffer == nullptr) {
    setStatus(block, kNoMemoryText);
    return;
  }
  block->pointerWork[0] = buffer;
  const bool broadcast = std::strcmp(address, kBroadcastAddress) == 0;
  const int channel =
      openUdpChannel(address, static_cast<std::uint16_t>(scalar(block->parameters[kPort])),
                     broadcast, localPort(block->parameters[kLocalPort]));
  block->integerWork[kChannel] = channel;
  if (channel < 0) setStatus(block, kNoChannelText);
}

void terminateSender(BlockRecord* block) {
  closeUdpChannel(block->integerWork[kChannel]);
  std::free(block->pointerWork[0]);
  block->pointerWork[0] = nullptr;
}

void send(BlockRecord* block) {
  udpSend(block->integerWork[kChannel], block->integerWork[kDatagramLength], block->pointerWork[0]);
}

// ---------------------------------------------------------------------------
// FootSend

int footIndex(BlockRecord* block) {
  return scalar(block->parameters[kFootIndex]);
}

void footSizes(BlockRecord* block) {
  if (!checkParameterCount(block, kFootParameterCount, footStatusText)) return;
  sizeSender(block, kBlockUint8);
}

void footStart(BlockRecord* block) {
  const int length = std::snprintf(nullptr, 0, kFootHideText, footIndex(block)) + 1;
  startSender(block, length, length);
}

void footOutputs(BlockRecord* block, int) {
  if (block->pointerWork[0] == nullptr) return;
  const bool standing = *static_cast<const std::uint8_t*>(block->inputSignal) != 0;
  std::snprintf(static_cast<char*>(block->pointerWork[0]), block->integerWork[kDatagramLength],
                standing ? kFootShowText : kFootHideText, footIndex(block));
  send(block);
}

// ---------------------------------------------------------------------------
// OgreSend

void ogreSizes(BlockRecord* block) {
  if (!checkParameterCount(block, kOgreParameterCount, ogreStatusText)) return;
  sizeSender(block, kBlockDouble);
}

void ogreStart(BlockRecord* block) {
  const int length =
      kRampPositionPrefixLength + std::snprintf(nullptr, 0, kRampPositionNumber, kRampPositionSample);
  startSender(block, kRampPositionBufferSize, length);
}

void ogreOutputs(BlockRecord* block, int) {
  if (block->pointerWork[0] == nullptr) return;
  char* text = static_cast<char*>(block->pointerWork[0]);
  const double position = *static_cast<const double*>(block->inputSignal);
  std::memcpy(text, kRampPositionPrefix, kRampPositionPrefixLength);
  char* number = text + kRampPositionPrefixLength;
  if (writeTwoDecimals(position, number) < 0) {
    std::snprintf(number, kRampPositionBufferSize - kRampPositionPrefixLength, kRampPositionNumber,
                  position);
  }
  send(block);
}

}  // namespace

void registerFootSendMethods(BlockRecord* block) {
  block->initializeSizes = &footSizes;
  block->initializeSampleTimes = &senderSampleTimes;
  block->start = &footStart;
  block->outputs = &footOutputs;
  block->terminate = &terminateSender;
}

void registerOgreSendMethods(BlockRecord* block) {
  block->initializeSizes = &ogreSizes;
  block->initializeSampleTimes = &senderSampleTimes;
  block->start = &ogreStart;
  block->outputs = &ogreOutputs;
  block->terminate = &terminateSender;
}

}  // namespace sim
