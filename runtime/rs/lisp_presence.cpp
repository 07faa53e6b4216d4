// The gate between signal deliveries and the heap's coming and going
// (lisp_presence.h).
//
// A delivery counts itself in before it looks at the flag, and departure
// clears the flag before it looks at the count (both sequentially
// consistent): either the delivery sees the flag cleared and stays out, or
// departure sees it counted and waits for it.

#include "runtime/rs/lisp_presence.h"

#include <sched.h>

#include <atomic>

namespace lisp::presence {
namespace {

std::atomic<bool> lispExists{false};
std::atomic<int> deliveriesInside{0};
std::atomic<bool> lispComing{true};

}  // namespace

void arrive() {
  lispExists.store(true);
}

void depart() {
  departUnless([] { return false; });
}

bool departUnless(bool (*heapsStay)()) {
  lispExists.store(false);
  while (deliveriesInside.load() != 0) {
    if (heapsStay()) return false;
    sched_yield();
  }
  return true;
}

bool present() {
  return lispExists.load();
}

void setComing(bool coming) {
  lispComing.store(coming);
}

bool presentOrComing() {
  return lispExists.load() || lispComing.load();
}

Delivery::Delivery() {
  deliveriesInside.fetch_add(1);
  admitted_ = lispExists.load();
  if (!admitted_) deliveriesInside.fetch_sub(1);
}

Delivery::~Delivery() {
  if (admitted_) deliveriesInside.fetch_sub(1);
}

}  // namespace lisp::presence
