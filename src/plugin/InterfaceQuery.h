#pragma once
#include "pluginterfaces/base/funknown.h"
#include "pluginterfaces/base/smartpointer.h"

namespace corvena {

// Asks `unknown` for interface I; an owning reference, or null when it has none.
template <class I>
Steinberg::IPtr<I> queryInterface(Steinberg::FUnknown* unknown) {
    void* obj = nullptr;
    if (unknown && unknown->queryInterface(I::iid, &obj) == Steinberg::kResultOk && obj)
        return Steinberg::IPtr<I>(static_cast<I*>(obj), false);
    return {};
}

// COM identity: two interfaces belong to one object when their FUnknowns match.
inline bool sameObject(Steinberg::FUnknown* a, Steinberg::FUnknown* b) {
    auto ua = queryInterface<Steinberg::FUnknown>(a);
    auto ub = queryInterface<Steinberg::FUnknown>(b);
    return ua && ub && ua.get() == ub.get();
}

} // namespace corvena
