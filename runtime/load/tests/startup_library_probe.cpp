// A start-up library for "-as": it supplies as_setupstack and leaves
// as_exception_filter out, so the runtime must take one and miss the other.
extern "C" __attribute__((visibility("default"))) int as_setupstack() {
  return 0;
}
