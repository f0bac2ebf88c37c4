#include "plugin/Module.h"
#include "plugin/InterfaceQuery.h"
#include "plugin/Utf16.h"

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

bool Module::adoptFactory(void* entry, std::string& error) {
    if (!entry) {
        error = "the module does not export GetPluginFactory";
        return false;
    }
    IPluginFactory* factory = reinterpret_cast<IPluginFactory* (*)()>(entry)();
    if (!factory) {
        error = "the module's GetPluginFactory returned no factory";
        return false;
    }
    // GetPluginFactory hands over one reference.
    factory_ = PluginFactory(IPtr<IPluginFactory>(factory, false));
    return true;
}

namespace {

std::string fixedString(const char* s, size_t capacity) { return std::string(s, strnlen(s, capacity)); }

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

} // namespace corvena
