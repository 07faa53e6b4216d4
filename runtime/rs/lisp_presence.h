// Whether a Lisp exists: its heap in place and read, with nil laid out in
// it. Signals come from threads that do not own the heap (the console's
// interrupt, the alarm's timer thread) and write into the nil block and the
// thread records; they may do so only while a Lisp exists. Before a build
// has laid out nil or a restore has placed and read the heap, and from the
// moment the heaps are given back, a signal is dropped.
//
// A delivery passes the gate for as long as it works on the heap; closing
// the gate waits until every delivery that got in has left, so the heaps
// are never given back under one.
//
// Apart from that, a Lisp may be on its way: from start-up on (a restore or
// a build will bring one), except while start-up asks for an image name
// (nobody comes unless a name is typed) and once the heaps are given back.
// What is left for the Lisp (remote commands) waits for it only then.
#pragma once

namespace lisp::presence {

// The heap is in place and read: signals reach the Lisp from now on.
void arrive();
// No Lisp from now on; returns once no delivery is still at work.
void depart();
// As depart, but stops waiting as soon as `heapsStay()` holds (a delivery
// may wait for what keeps the heaps anyway): true when no delivery is left.
bool departUnless(bool (*heapsStay)());
bool present();

// Whether a Lisp is on its way (see above); initially it is.
void setComing(bool coming);
// A Lisp exists or one is on its way.
bool presentOrComing();

// One signal delivery: admitted while a Lisp exists, and the heaps stay
// until it is destroyed.
class Delivery {
 public:
  Delivery();
  ~Delivery();
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  bool admitted() const { return admitted_; }

 private:
  bool admitted_;
};

}  // namespace lisp::presence
