#pragma once
#include "app/Protocol.h"
#include <string>

namespace corvena {

// Run the command `name` for `request`; adds result fields to `reply` or marks it
// failed. Writes nothing itself. Throws the JSON library's exception when a field
// has a type the command cannot convert.
void dispatchCommand(const std::string& name, const json& request, json& reply);

} // namespace corvena
