// A shared object that loads fine but is no VST 3 module (no GetPluginFactory).
extern "C" __attribute__((visibility("default"))) int corvenaNotAPlugin() { return 42; }
