// A shared object without the plug-in entry point.
extern "C" __attribute__((visibility("default"))) int notAnEntryPoint() {
  return 0;
}
