#pragma once
// The project's test plug-ins and zam-plugins' bundles, and a test plug-in's probe.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <stdexcept>
#include <string>

#include "plugins/TestPluginProbe.h"

namespace corvena::test {

inline std::string testBundle(const std::string& name) { return std::string(CORVENA_TEST_PLUGIN_DIR) + "/" + name + ".vst3"; }
#ifdef _WIN32
inline std::string testLibrary(const std::string& name) { return testBundle(name) + "/Contents/" CORVENA_VST3_ARCH "/" + name + ".vst3"; }
constexpr bool kHaveZam = false; // Debian's zam-plugins are Linux bundles
#else
inline std::string testLibrary(const std::string& name) { return testBundle(name) + "/Contents/" CORVENA_VST3_ARCH "/" + name + ".so"; }
constexpr bool kHaveZam = true;
#endif
inline std::string zamBundle(const std::string& name) { return "/usr/lib/vst3/" + name + ".vst3"; }

// Keeps a test plug-in's module mapped, so that its probe outlives unloads, and
// starts from zeroed counters.
class ProbeHandle {
public:
    explicit ProbeHandle(const std::string& name) {
#ifdef _WIN32
        handle_ = LoadLibraryA(testLibrary(name).c_str());
        void* fn = handle_ ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), "corvenaTestProbe")) : nullptr;
#else
        handle_ = ::dlopen(testLibrary(name).c_str(), RTLD_NOW | RTLD_LOCAL);
        void* fn = handle_ ? ::dlsym(handle_, "corvenaTestProbe") : nullptr;
#endif
        if (!fn) throw std::runtime_error("no probe in test plug-in " + name);
        probe_ = reinterpret_cast<testplugin::ProbeFn>(fn)();
        probe_->resetCounters();
    }
#ifdef _WIN32
    ~ProbeHandle() { FreeLibrary(static_cast<HMODULE>(handle_)); }
#else
    ~ProbeHandle() { ::dlclose(handle_); }
#endif
    ProbeHandle(const ProbeHandle&) = delete;
    testplugin::Probe* operator->() const { return probe_; }

private:
    void* handle_ = nullptr;
    testplugin::Probe* probe_ = nullptr;
};

} // namespace corvena::test
