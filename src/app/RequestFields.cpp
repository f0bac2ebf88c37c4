#include "app/RequestFields.h"

#include <cmath>
#include <limits>

namespace corvena {

namespace {
const json* member(const json& request, const char* key) {
    if (!request.is_object()) return nullptr;
    auto it = request.find(key);
    return it == request.end() ? nullptr : &*it;
}
} // namespace

float toFloat(const json& value) {
    const double d = value.get<double>();
    // A double beyond single precision's range has no float value; saturate to infinity.
    if (d > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (d < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

uint32_t readUint32(const json& request, const char* key, uint32_t fallback) {
    const json* v = member(request, key);
    if (!v) return fallback;
    if (v->is_number_unsigned()) return static_cast<uint32_t>(v->get<uint64_t>());
    if (v->is_number_integer()) return static_cast<uint32_t>(v->get<int64_t>());
    // A floating value: drop the fraction; out-of-range values saturate.
    const double d = std::trunc(v->get<double>());
    if (!(d > -9.2e18)) return static_cast<uint32_t>(std::numeric_limits<int64_t>::min());
    if (!(d < 9.2e18)) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(static_cast<int64_t>(d));
}

double readDouble(const json& request, const char* key, double fallback) {
    const json* v = member(request, key);
    return v ? v->get<double>() : fallback;
}

float readFloat(const json& request, const char* key, float fallback) {
    const json* v = member(request, key);
    return v ? toFloat(*v) : fallback;
}

bool readBool(const json& request, const char* key, bool fallback) {
    const json* v = member(request, key);
    return v ? v->get<bool>() : fallback;
}

std::string readString(const json& request, const char* key, const std::string& fallback) {
    const json* v = member(request, key);
    return v ? v->get<std::string>() : fallback;
}

bool hasField(const json& request, const char* key) { return member(request, key) != nullptr; }

} // namespace corvena
