// Child pipe buffers and their two owners.

#include "runtime/os/child_pipe_buffer.h"

#include <atomic>
#include <new>

#include "platform/waitable.h"

namespace lisp::os {

namespace {

// The owner count lives in front of the buffer, so the buffer keeps the
// layout the pipe thread and the entry share.
struct OwnedBuffer {
  std::atomic<int32_t> owners;
  ChildPipeBuffer buffer;
};

std::atomic<int32_t> liveBuffers{0};

OwnedBuffer* ownerOf(ChildPipeBuffer* buffer) {
  return reinterpret_cast<OwnedBuffer*>(reinterpret_cast<char*>(buffer) -
                                        offsetof(OwnedBuffer, buffer));
}

}  // namespace

ChildPipeBuffer* newChildPipeBuffer() {
  auto* owned = new OwnedBuffer{};
  owned->owners = 2;
  owned->buffer.threadEvent = platform::createEvent(false, false);
  owned->buffer.lispEvent = platform::createEvent(true, false);
  ++liveBuffers;
  return &owned->buffer;
}

void releaseChildPipeBuffer(ChildPipeBuffer* buffer) {
  OwnedBuffer* owned = ownerOf(buffer);
  if (owned->owners.fetch_sub(1) != 1) return;
  platform::closeHandle(buffer->threadEvent);
  platform::closeHandle(buffer->lispEvent);
  delete owned;
  --liveBuffers;
}

void endChildPipe(ChildPipeBuffer* buffer) {
  // Taken, not read: a close detaching the buffer at the same moment then
  // finds it gone and leaves the entry alone.
  if (host::DescriptorEntry* entry = detachEntry(buffer)) entry->flags |= host::kFlagPipeEnded;
  platform::setEvent(buffer->lispEvent);
  releaseChildPipeBuffer(buffer);
}

host::DescriptorEntry* detachEntry(ChildPipeBuffer* buffer) {
  return __atomic_exchange_n(&buffer->entry, nullptr, __ATOMIC_ACQ_REL);
}

int32_t liveChildPipeBuffers() {
  return liveBuffers;
}

}  // namespace lisp::os
