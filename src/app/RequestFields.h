#pragma once
#include "app/Protocol.h"
#include <cstdint>
#include <string>

namespace corvena {

// Typed reads of request fields with a default for an absent key. A present key
// of the wrong JSON type throws the JSON library's type error.
uint32_t readUint32(const json& request, const char* key, uint32_t fallback);
double readDouble(const json& request, const char* key, double fallback);
float readFloat(const json& request, const char* key, float fallback);
bool readBool(const json& request, const char* key, bool fallback);
std::string readString(const json& request, const char* key, const std::string& fallback);
// Whether the request has `key` at all (a required field).
bool hasField(const json& request, const char* key);

// A JSON number as single precision; values beyond its range become infinite.
float toFloat(const json& value);

} // namespace corvena
