// A module that the system loader refuses: it needs a C library version that
// no installed glibc provides.
extern "C" int corvena_newer_libc_function();
extern "C" __attribute__((visibility("default"))) int GetPluginFactory() { return corvena_newer_libc_function(); }
