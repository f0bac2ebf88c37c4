// Stands in for a C library newer than the installed one at link time only.
extern "C" int corvena_newer_libc_function() { return 1; }
