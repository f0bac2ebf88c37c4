// The hosted plug-in's state as one container, and its restore.
//
// Container (all integers little-endian):
//   4 bytes  magic "CVST"
//   4 bytes  version, 1
//  16 bytes  class id of the plug-in's audio class
//   4 bytes  length n of the component state, then n bytes
//   4 bytes  length m of the controller state, then m bytes
// and nothing after. The controller part is empty for a plug-in without a
// separate controller, or whose controller keeps no state of its own.
#include "plugin/InterfaceQuery.h"
#include "plugin/MemoryStream.h"
#include "plugin/SlotRecord.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace corvena {
namespace {

constexpr char kMagic[4] = {'C', 'V', 'S', 'T'};
constexpr uint32_t kVersion = 1;
using ClassId = std::array<char, 16>;

struct StateParts {
    ClassId classId{};
    std::string component;
    std::string controller;
};

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool getU32(const std::string& in, size_t& pos, uint32_t& v) {
    if (in.size() - pos < 4)
        return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(in[pos + i])) << (8 * i);
    pos += 4;
    return true;
}

bool getPart(const std::string& in, size_t& pos, std::string& part) {
    uint32_t n = 0;
    if (!getU32(in, pos, n) || in.size() - pos < n)
        return false;
    part.assign(in, pos, n);
    pos += n;
    return true;
}

std::string pack(const StateParts& p) {
    std::string out(kMagic, sizeof kMagic);
    putU32(out, kVersion);
    out.append(p.classId.data(), p.classId.size());
    putU32(out, static_cast<uint32_t>(p.component.size()));
    out += p.component;
    putU32(out, static_cast<uint32_t>(p.controller.size()));
    out += p.controller;
    return out;
}

bool unpack(const std::string& in, StateParts& p) {
    size_t pos = sizeof kMagic;
    uint32_t version = 0;
    if (in.size() < pos || std::memcmp(in.data(), kMagic, sizeof kMagic) != 0 || !getU32(in, pos, version) ||
        version != kVersion || in.size() - pos < p.classId.size())
        return false;
    std::memcpy(p.classId.data(), in.data() + pos, p.classId.size());
    pos += p.classId.size();
    return getPart(in, pos, p.component) && getPart(in, pos, p.controller) && pos == in.size();
}

// A controller that is the component itself has its state in the component's.
bool separateController(const PluginSlot::Record& r) {
    return r.controller && !sameObject(r.controller, r.component);
}

bool readParts(PluginSlot::Record& r, StateParts& p) {
    p.classId = r.provider->classInfo().cid;
    IPtr<MemoryStream> component(new MemoryStream(), false);
    if (r.component->getState(component) != kResultOk)
        return false;
    p.component = component->bytes();
    p.controller.clear();
    if (separateController(r)) {
        // The SDK's base controller answers kNotImplemented: no state of its own.
        IPtr<MemoryStream> controller(new MemoryStream(), false);
        if (r.controller->getState(controller) == kResultOk)
            p.controller = controller->bytes();
    }
    return true;
}

bool applyParts(PluginSlot::Record& r, const StateParts& p) {
    IPtr<MemoryStream> component(new MemoryStream(p.component), false);
    if (r.component->setState(component) != kResultOk)
        return false;
    if (!separateController(r))
        return true;
    // The controller follows the component's state; a controller that cannot
    // (the SDK's base answers kNotImplemented) keeps its values, as at load.
    IPtr<MemoryStream> again(new MemoryStream(p.component), false);
    r.controller->setComponentState(again);
    if (p.controller.empty())
        return true;
    IPtr<MemoryStream> controller(new MemoryStream(p.controller), false);
    return r.controller->setState(controller) == kResultOk;
}

// Edits still queued have not reached the processor, whose state would miss
// them. A running stream takes them within a block; without one they are
// handed over with a block of one silent frame (plug-ins built with DPF read
// no changes from a call without samples). Nobody hears that block.
void deliverQueuedEdits(PluginSlot::Record& r) {
    if (r.changeTransfer.empty())
        return;
    const auto blocks = std::chrono::duration<double>(4.0 * r.maxBlockSize / r.sampleRate);
    const auto deadline = std::chrono::steady_clock::now() + blocks + std::chrono::milliseconds(5);
    while (!r.changeTransfer.empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Also waits for the block that took the last edits to finish.
    std::lock_guard<std::mutex> lock(r.processLock);
    HostProcessData& data = r.processData;
    if (r.changeTransfer.empty() || !r.ready.load() || !r.processor || data.maxSamples() < 1 || data.numInputs < 1)
        return;
    r.changeTransfer.transferChangesTo(r.inputChanges);
    for (int32 c = 0; c < data.inputs[0].numChannels; ++c)
        data.inputs[0].channelBuffers32[c][0] = 0.0f;
    data.numSamples = 1;
    r.processor->process(data);
    r.inputChanges.clearQueue();
    r.outputChanges.clearQueue();
}

} // namespace

bool PluginSlot::getState(std::string& bytes, std::string& error) {
    Record& r = *record_;
    if (!r.component) {
        error = "no plugin loaded";
        return false;
    }
    deliverQueuedEdits(r);
    StateParts parts;
    if (!readParts(r, parts)) {
        error = "the plugin did not give its state";
        return false;
    }
    bytes = pack(parts);
    return true;
}

bool PluginSlot::setState(const std::string& bytes, std::string& error) {
    Record& r = *record_;
    if (!r.component) {
        error = "no plugin loaded";
        return false;
    }
    StateParts parts;
    if (!unpack(bytes, parts)) {
        error = "the state is not valid";
        return false;
    }
    if (parts.classId != r.provider->classInfo().cid) {
        error = "the state belongs to another plugin";
        return false;
    }

    const bool wasReady = r.ready.load();
    stopProcessing(r);
    // What to go back to if the plug-in refuses part of the new state.
    StateParts before;
    const bool saved = readParts(r, before);
    const bool ok = applyParts(r, parts);
    if (ok) {
        // Edits queued before the restore would undo it in the next block.
        std::lock_guard<std::mutex> lock(r.processLock);
        r.changeTransfer.removeChanges();
    } else if (saved) {
        applyParts(r, before);
    }
    if (wasReady) {
        std::string ignored; // a refused restart shows as not ready, as after prepare
        startProcessing(r, ignored);
    }
    if (!ok)
        error = "the plugin rejected its state";
    return ok;
}

} // namespace corvena
