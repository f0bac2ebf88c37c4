#include "plugin/Module.h"

#include <dlfcn.h>

using namespace Steinberg;

namespace corvena {

namespace {

#if defined(__x86_64__)
constexpr const char* kArchFolder = "x86_64-linux";
#elif defined(__aarch64__)
constexpr const char* kArchFolder = "aarch64-linux";
#elif defined(__i386__)
constexpr const char* kArchFolder = "i386-linux";
#else
constexpr const char* kArchFolder = "unknown-linux";
#endif

} // namespace

// Name.vst3 -> Name.vst3/Contents/<arch>/Name.so
std::string Module::bundleLibrary(std::string bundle) {
    while (bundle.size() > 1 && bundle.back() == '/')
        bundle.pop_back();
    std::string stem = bundle.substr(bundle.find_last_of('/') + 1);
    const std::string ext = ".vst3";
    if (stem.size() > ext.size() && stem.compare(stem.size() - ext.size(), ext.size(), ext) == 0)
        stem.resize(stem.size() - ext.size());
    return bundle + "/Contents/" + kArchFolder + "/" + stem + ".so";
}

Module::Ptr Module::create(const std::string& path, std::string& error) {
    const std::string refused = "could not load " + path;
    std::string library;
    if (!libraryFor(path, library, error))
        return nullptr;
    // A bare name would be looked up on the system's library path.
    if (library.find('/') == std::string::npos)
        library = "./" + library;

    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        std::string reason = why ? why : "";
        // The loader starts with the file name, which the message already has.
        if (reason.compare(0, library.size() + 2, library + ": ") == 0)
            reason.erase(0, library.size() + 2);
        error = reason.empty() ? refused : refused + ": " + reason;
        return nullptr;
    }

    Ptr module(new Module());
    module->handle_ = handle;
    module->path_ = path;
    module->libraryPath_ = library;

    using EntryFn = bool (*)(void*);
    if (auto entry = reinterpret_cast<EntryFn>(::dlsym(handle, "ModuleEntry"))) {
        if (!entry(handle)) {
            error = "the module's ModuleEntry failed";
            return nullptr; // the destructor closes the library without ModuleExit
        }
        module->entered_ = true;
    }

    return module->adoptFactory(reinterpret_cast<void*>(::dlsym(handle, "GetPluginFactory")), error) ? module : nullptr;
}

Module::~Module() {
    factory_ = PluginFactory();
    if (entered_) {
        using ExitFn = bool (*)();
        if (auto exitFn = reinterpret_cast<ExitFn>(::dlsym(handle_, "ModuleExit")))
            exitFn();
    }
    if (handle_)
        ::dlclose(handle_);
}

} // namespace corvena
