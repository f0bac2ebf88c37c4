// The hosted plug-in's parameters, read from and set through its edit
// controller on the control thread. The controller is the one place that
// knows every value, whoever changed it (a request, the editor, a state).
#include "plugin/SlotRecord.h"
#include "plugin/Utf16.h"

#include <algorithm>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace corvena {
namespace {

PluginParameter describe(IEditController& controller, const ParameterInfo& info) {
    PluginParameter p;
    p.id = info.id;
    p.title = toUtf8(info.title, sizeof(info.title) / sizeof(info.title[0]));
    p.units = toUtf8(info.units, sizeof(info.units) / sizeof(info.units[0]));
    p.value = controller.getParamNormalized(info.id);
    p.defaultValue = info.defaultNormalizedValue;
    p.steps = info.stepCount;
    p.readOnly = (info.flags & ParameterInfo::kIsReadOnly) != 0;
    String128 text{};
    if (controller.getParamStringByValue(info.id, p.value, text) == kResultOk)
        p.display = toUtf8(text, sizeof(text) / sizeof(text[0]));
    return p;
}

bool findParameter(IEditController& controller, ParamID id, ParameterInfo& info) {
    const int32 count = controller.getParameterCount();
    for (int32 i = 0; i < count; ++i) {
        if (controller.getParameterInfo(i, info) == kResultOk && info.id == id)
            return true;
    }
    return false;
}

} // namespace

bool PluginSlot::parameters(std::vector<PluginParameter>& out, std::string& error) const {
    const Record& r = *record_;
    out.clear();
    if (!r.component || !r.controller) {
        error = "no plugin loaded";
        return false;
    }
    const int32 count = r.controller->getParameterCount();
    for (int32 i = 0; i < count; ++i) {
        ParameterInfo info{};
        if (r.controller->getParameterInfo(i, info) == kResultOk)
            out.push_back(describe(*r.controller, info));
    }
    return true;
}

bool PluginSlot::setParameter(uint32_t id, double value, PluginParameter& now, std::string& error) {
    Record& r = *record_;
    if (!r.component || !r.controller) {
        error = "no plugin loaded";
        return false;
    }
    ParameterInfo info{};
    if (!findParameter(*r.controller, id, info)) {
        error = "no such parameter: " + std::to_string(id);
        return false;
    }
    if (info.flags & ParameterInfo::kIsReadOnly) {
        error = "the parameter is read-only";
        return false;
    }
    r.controller->setParamNormalized(id, std::clamp(value, 0.0, 1.0));
    now = describe(*r.controller, info);
    // The processor gets what the controller made of the value (a stepped
    // parameter rounds it), by the editor's road: the edit queue.
    r.changeTransfer.addChange(id, now.value, 0);
    return true;
}

} // namespace corvena
