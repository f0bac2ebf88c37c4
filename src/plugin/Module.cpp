#include "plugin/Module.h"
#include "plugin/InterfaceQuery.h"
#include "plugin/Utf16.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>

using namespace Steinberg;

namespace corvena {

bool ClassInfo::isAudioEffect() const {
    if (category != "Audio Module Class") return false;
    bool fx = false, instrument = false;
    for (size_t from = 0; from <= subCategories.size();) {
        size_t to = subCategories.find('|', from);
        if (to == std::string::npos) to = subCategories.size();
        const std::string word = subCategories.substr(from, to - from);
        fx = fx || word == "Fx";
        instrument = instrument || word == "Instrument";
        from = to + 1;
    }
    return fx || !instrument;
}

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

std::string fixedString(const char* s, size_t capacity) { return std::string(s, strnlen(s, capacity)); }

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Name.vst3 -> Name.vst3/Contents/<arch>/Name.so
std::string bundleLibrary(std::string bundle) {
    while (bundle.size() > 1 && bundle.back() == '/')
        bundle.pop_back();
    std::string stem = bundle.substr(bundle.find_last_of('/') + 1);
    const std::string ext = ".vst3";
    if (stem.size() > ext.size() && stem.compare(stem.size() - ext.size(), ext.size(), ext) == 0)
        stem.resize(stem.size() - ext.size());
    return bundle + "/Contents/" + kArchFolder + "/" + stem + ".so";
}

} // namespace

std::vector<ClassInfo> PluginFactory::classInfos() const {
    std::vector<ClassInfo> infos;
    if (!factory_)
        return infos;
    const auto f3 = queryInterface<IPluginFactory3>(factory_);
    const auto f2 = queryInterface<IPluginFactory2>(factory_);
    const int32 count = factory_->countClasses();
    for (int32 i = 0; i < count; ++i) {
        ClassInfo info;
        PClassInfoW w{};
        PClassInfo2 two{};
        PClassInfo one{};
        if (f3 && f3->getClassInfoUnicode(i, &w) == kResultOk) {
            std::memcpy(info.cid.data(), w.cid, sizeof(TUID));
            info.cardinality = w.cardinality;
            info.category = fixedString(w.category, sizeof(w.category));
            info.name = toUtf8(w.name, PClassInfo::kNameSize);
            info.classFlags = w.classFlags;
            info.subCategories = fixedString(w.subCategories, sizeof(w.subCategories));
            info.vendor = toUtf8(w.vendor, PClassInfoW::kVendorSize);
            info.version = toUtf8(w.version, PClassInfoW::kVersionSize);
            info.sdkVersion = toUtf8(w.sdkVersion, PClassInfoW::kVersionSize);
        } else if (f2 && f2->getClassInfo2(i, &two) == kResultOk) {
            std::memcpy(info.cid.data(), two.cid, sizeof(TUID));
            info.cardinality = two.cardinality;
            info.category = fixedString(two.category, sizeof(two.category));
            info.name = fixedString(two.name, sizeof(two.name));
            info.classFlags = two.classFlags;
            info.subCategories = fixedString(two.subCategories, sizeof(two.subCategories));
            info.vendor = fixedString(two.vendor, sizeof(two.vendor));
            info.version = fixedString(two.version, sizeof(two.version));
            info.sdkVersion = fixedString(two.sdkVersion, sizeof(two.sdkVersion));
        } else if (factory_->getClassInfo(i, &one) == kResultOk) {
            std::memcpy(info.cid.data(), one.cid, sizeof(TUID));
            info.cardinality = one.cardinality;
            info.category = fixedString(one.category, sizeof(one.category));
            info.name = fixedString(one.name, sizeof(one.name));
        } else {
            continue;
        }
        infos.push_back(std::move(info));
    }
    return infos;
}

bool PluginFactory::setHostContext(FUnknown* context) const {
    const auto f3 = queryInterface<IPluginFactory3>(factory_);
    return f3 && f3->setHostContext(context) == kResultOk;
}

Module::Ptr Module::create(const std::string& path, std::string& error) {
    const std::string refused = "could not load " + path;
    // An empty path would open the engine's own executable.
    if (path.empty()) {
        error = refused;
        return nullptr;
    }
    std::string library = path;
    if (isDirectory(path)) {
        library = bundleLibrary(path);
        if (!isFile(library)) {
            error = refused + ": the bundle has no " + library.substr(library.find("/Contents/") + 1);
            return nullptr;
        }
    }
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

    using FactoryFn = IPluginFactory* (*)();
    auto getFactory = reinterpret_cast<FactoryFn>(::dlsym(handle, "GetPluginFactory"));
    if (!getFactory) {
        error = "the module does not export GetPluginFactory";
        return nullptr;
    }
    IPluginFactory* factory = getFactory();
    if (!factory) {
        error = "the module's GetPluginFactory returned no factory";
        return nullptr;
    }
    // GetPluginFactory hands over one reference.
    module->factory_ = PluginFactory(IPtr<IPluginFactory>(factory, false));
    return module;
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
