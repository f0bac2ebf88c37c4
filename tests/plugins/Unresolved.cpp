// A module that calls a function nothing defines: refused when it loads, not
// fatal to the host the first time the call is reached.
extern "C" int corvena_function_nobody_defines();
extern "C" __attribute__((visibility("default"))) int GetPluginFactory() { return corvena_function_nobody_defines(); }
