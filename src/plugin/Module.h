#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/base/smartpointer.h"

namespace corvena {

// What the factory tells about one of its classes, from the richest factory
// interface the module offers (IPluginFactory3, then 2, then the plain one).
struct ClassInfo {
    std::array<char, 16> cid{};
    int32_t cardinality = 0;
    std::string category;
    std::string name;
    uint32_t classFlags = 0;
    std::string subCategories;
    std::string vendor;
    std::string version;
    std::string sdkVersion;

    // An audio class that takes audio in: an instrument is none, unless its
    // subcategories also name it an effect ("Fx|Instrument", as analysers and
    // host checkers say of themselves).
    bool isAudioEffect() const;
};

// The factory of a loaded module.
class PluginFactory {
public:
    PluginFactory() = default;
    explicit PluginFactory(Steinberg::IPtr<Steinberg::IPluginFactory> factory) : factory_(std::move(factory)) {}

    std::vector<ClassInfo> classInfos() const;
    // Hands the host context to a factory that accepts one (IPluginFactory3).
    bool setHostContext(Steinberg::FUnknown* context) const;

    template <class I>
    Steinberg::IPtr<I> createInstance(const ClassInfo& info) const {
        void* obj = nullptr;
        if (!factory_ || factory_->createInstance(info.cid.data(), I::iid, &obj) != Steinberg::kResultOk || !obj)
            return {};
        return Steinberg::IPtr<I>(static_cast<I*>(obj), false);
    }
    template <class I>
    Steinberg::IPtr<I> createInstance(const Steinberg::TUID cid) const {
        void* obj = nullptr;
        if (!factory_ || factory_->createInstance(cid, I::iid, &obj) != Steinberg::kResultOk || !obj)
            return {};
        return Steinberg::IPtr<I>(static_cast<I*>(obj), false);
    }

    Steinberg::IPluginFactory* get() const { return factory_; }

private:
    Steinberg::IPtr<Steinberg::IPluginFactory> factory_;
};

// A VST 3 module loaded from a bundle folder (Name.vst3/Contents/<arch>/Name.so)
// or from a plain shared object. Runs ModuleEntry after loading and ModuleExit
// before unloading where the module exports them (InitDll and ExitDll on
// Windows, whose bundles hold Contents/x86_64-win/Name.vst3).
class Module {
public:
    using Ptr = std::shared_ptr<Module>;

    // Null on failure. error gets a description when the module loaded but is
    // not a usable VST 3 module; it stays empty when nothing could be loaded.
    static Ptr create(const std::string& path, std::string& error);

    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const PluginFactory& getFactory() const { return factory_; }
    const std::string& getPath() const { return path_; }
    // The shared object actually opened.
    const std::string& getLibraryPath() const { return libraryPath_; }

private:
    Module() = default;
    // Calls the module's GetPluginFactory (`entry`, null when not exported)
    // and keeps the factory; false with `error` set otherwise.
    bool adoptFactory(void* entry, std::string& error);
    // The file to load for `path` (a bundle folder's module, or `path` itself);
    // false with `error` set for an empty path or a bundle without its module.
    static bool libraryFor(const std::string& path, std::string& library, std::string& error);
    // Name.vst3 -> Name.vst3/Contents/<arch>/<the platform's module name>
    static std::string bundleLibrary(std::string bundle);

    void* handle_ = nullptr;
    bool entered_ = false;
    PluginFactory factory_;
    std::string path_;
    std::string libraryPath_;
};

} // namespace corvena
