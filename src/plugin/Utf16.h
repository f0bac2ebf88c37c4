#pragma once
#include <cstddef>
#include <string>

#include "pluginterfaces/base/ftypes.h"

namespace corvena {

// A plug-in's UTF-16 text (class infos, parameter titles and values) as UTF-8,
// up to the first zero or `capacity` units; a lone surrogate becomes U+FFFD.
std::string toUtf8(const Steinberg::char16* s, size_t capacity);

} // namespace corvena
