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

} // namespace corvena
