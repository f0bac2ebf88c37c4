#include "plugin/PluginSlot.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "plugin/SlotRecord.h"
#include "plugin/InterfaceQuery.h"
#include "base/source/fstring.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace corvena {
namespace {

// The host's IComponentHandler: carries the controller's edits to the slot's
// edit queue and otherwise does nothing (no undo, no automation, no restarts).
class Handler : public IComponentHandler {
public:
    explicit Handler(std::function<void(ParamID, ParamValue)> edit) : onEdit(std::move(edit)) {}
    virtual ~Handler() = default;

    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (!obj)
            return kInvalidArgument;
        if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IComponentHandler::iid)) {
            addRef();
            *obj = static_cast<IComponentHandler*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return ++refCount_; }
    uint32 PLUGIN_API release() override {
        const uint32 left = --refCount_;
        if (left == 0)
            delete this;
        return left;
    }

    tresult PLUGIN_API beginEdit(ParamID) override { return kResultOk; }
    tresult PLUGIN_API performEdit(ParamID id, ParamValue valueNormalized) override {
        ++inFlight_;
        if (live_.load() && onEdit)
            onEdit(id, valueNormalized);
        --inFlight_;
        return kResultOk;
    }
    tresult PLUGIN_API endEdit(ParamID) override { return kResultOk; }
    tresult PLUGIN_API restartComponent(int32) override { return kResultOk; }

    // After unload a controller that kept its reference must not reach the
    // slot's queue any more (the next plug-in would get foreign edits). Waits
    // for an edit that a plug-in thread has in progress; never the audio thread.
    void detach() {
        live_.store(false);
        while (inFlight_.load() != 0)
            std::this_thread::yield();
    }

    const std::function<void(ParamID, ParamValue)> onEdit;

private:
    std::atomic<uint32> refCount_{1};
    std::atomic<bool> live_{true};
    std::atomic<int> inFlight_{0};
};

// Made on the first load and never destroyed: the engine's slot unloads at
// process exit, after function-local statics made later than the engine have
// already gone, and a plug-in's teardown may still talk to its host context.
HostApplication& hostApplication() {
    static HostApplication* const host = new HostApplication();
    return *host;
}

// Slots that hold a plug-in, so that process exit can unload them first. The
// engine's slot would otherwise unload from its own static destructor, after
// the plug-in module's statics (made at load, destroyed earlier) and, in an
// unknown order, the SDK's interface ids. Made on first use and kept.
struct LoadedSlots {
    std::mutex mutex;
    std::vector<PluginSlot*> slots;
};

LoadedSlots& loadedSlots() {
    static LoadedSlots* const registry = new LoadedSlots();
    return *registry;
}

void unloadAllAtExit() {
    std::vector<PluginSlot*> slots;
    {
        std::lock_guard<std::mutex> lock(loadedSlots().mutex);
        slots = loadedSlots().slots;
    }
    for (PluginSlot* slot : slots)
        slot->unload();
}

void noteLoaded(PluginSlot* slot) {
    // Registered after each module was opened, so it runs before that module's
    // static destructors (a module loaded later has later destructors, which an
    // earlier registration would not precede). Unloading twice is harmless.
    std::atexit(unloadAllAtExit);
    std::lock_guard<std::mutex> lock(loadedSlots().mutex);
    auto& slots = loadedSlots().slots;
    if (std::find(slots.begin(), slots.end(), slot) == slots.end())
        slots.push_back(slot);
}

void noteEmpty(PluginSlot* slot) {
    std::lock_guard<std::mutex> lock(loadedSlots().mutex);
    auto& slots = loadedSlots().slots;
    slots.erase(std::remove(slots.begin(), slots.end(), slot), slots.end());
}

bool hasAudioBus(IComponent& component, BusDirection dir) {
    if (component.getBusCount(kAudio, dir) < 1)
        return false;
    BusInfo info{};
    return component.getBusInfo(kAudio, dir, 0, info) == kResultOk && info.channelCount > 0;
}

} // namespace

bool startProcessing(PluginSlot::Record& r, std::string& error) {
    r.processor = queryInterface<IAudioProcessor>(r.component);
    if (!r.processor) {
        error = "plugin has no audio processor";
        return false;
    }
    SpeakerArrangement in = SpeakerArr::kMono;
    SpeakerArrangement out = SpeakerArr::kStereo;
    if (r.processor->setBusArrangements(&in, 1, &out, 1) != kResultOk) {
        in = SpeakerArr::kStereo;
        out = SpeakerArr::kStereo;
        r.processor->setBusArrangements(&in, 1, &out, 1);
    }
    r.component->activateBus(kAudio, kInput, 0, true);
    r.component->activateBus(kAudio, kOutput, 0, true);

    ProcessSetup setup{};
    setup.processMode = r.offline ? kOffline : kRealtime;
    setup.symbolicSampleSize = kSample32;
    setup.maxSamplesPerBlock = r.maxBlockSize;
    setup.sampleRate = r.sampleRate;
    if (r.processor->setupProcessing(setup) != kResultOk) {
        error = "plugin rejected the sample rate or buffer size";
        return false;
    }
    r.processContext.sampleRate = r.sampleRate;
    r.processData.processMode = r.offline ? kOffline : kRealtime;
    r.processData.prepare(*r.component, r.maxBlockSize, kSample32);
    // Every parameter may report a change in every block without the audio
    // thread allocating.
    r.outputChanges.setMaxParameters(std::max<int32>(r.controller ? r.controller->getParameterCount() : 0, 64));

    if (r.component->setActive(true) != kResultOk) {
        error = "plugin would not activate";
        return false;
    }
    r.processor->setProcessing(true);
    r.active = true;
    r.ready.store(true);
    return true;
}

void stopProcessing(PluginSlot::Record& r) {
    r.ready.store(false);
    std::lock_guard<std::mutex> lock(r.processLock);
    if (r.active && r.processor) {
        r.processor->setProcessing(false);
        r.component->setActive(false);
        r.active = false;
    }
    r.processData.unprepare();
    r.processor = nullptr;
}

PluginSlot::Record::Record() {
    changeTransfer.setMaxParameters(2000);
    // Room for every edit the ring can hold, each of another parameter.
    inputChanges.setMaxParameters(changeTransfer.capacity());
    processContext.sampleRate = 48000.0;
    processContext.tempo = 120.0;
    processData.processMode = kRealtime;
    processData.symbolicSampleSize = kSample32;
    processData.inputParameterChanges = &inputChanges;
    processData.outputParameterChanges = &outputChanges;
    processData.processContext = &processContext;
}

// The engine's slot has static storage duration and unloads at process exit,
// when plug-ins still talk to their host context. Statics are destroyed in
// reverse order of construction, so the string converters the host context's
// calls make on first use are made here, before the slot is complete: they
// then outlive it. (Nothing here may touch the SDK's interface ids, which
// other units initialise at start-up in an unknown order.)
PluginSlot::PluginSlot() : record_(std::make_unique<Record>()) {
    String128 text{};
    String("corvena").copyTo16(text, 0, 127);
}

PluginSlot::~PluginSlot() {
    closeEditor();
    unload();
}

void PluginSlot::setOffline(bool offline) { record_->offline = offline; }

bool PluginSlot::loadInstanceOf(const PluginSlot& live, std::string& error) {
    unload();
    error.clear();
    const Record& l = *live.record_;
    if (!l.module || l.classIndex < 0) {
        error = "no plugin loaded";
        return false;
    }
    return instantiate(l.module, l.pluginPath, l.classIndex, error);
}

bool PluginSlot::load(const std::string& path, std::string& error, int classIndex) {
    unload();
    error.clear();
    Module::Ptr module = Module::create(path, error);
    if (!module) {
        if (error.empty())
            error = "could not load " + path;
        return false;
    }
    return instantiate(std::move(module), path, classIndex, error);
}

bool PluginSlot::instantiate(std::shared_ptr<Module> module, const std::string& path, int classIndex,
                             std::string& error) {
    Record& r = *record_;
    r.module = std::move(module);

    const PluginFactory& factory = r.module->getFactory();
    const std::vector<ClassInfo> classes = factory.classInfos();
    auto isEffect = [](const ClassInfo& c) { return c.isAudioEffect(); };
    const auto chosen = classIndex < 0 ? std::find_if(classes.begin(), classes.end(), isEffect)
                        : classIndex < static_cast<int>(classes.size()) && isEffect(classes[static_cast<size_t>(classIndex)])
                            ? classes.begin() + classIndex
                            : classes.end();
    if (chosen == classes.end()) {
        error = "no audio-effect class in " + path;
        r.module.reset();
        return false;
    }

    PluginContextFactory::instance().setPluginContext(&hostApplication());

    r.provider = std::make_unique<PlugProvider>(factory, *chosen, true);
    if (!r.provider->initialize()) {
        error = "plugin failed to initialise";
        r.provider.reset();
        r.module.reset();
        return false;
    }

    r.component = r.provider->getComponent();
    r.controller = r.provider->getController();
    if (!r.component) {
        error = "plugin has no component";
        unload();
        return false;
    }
    // The process step copies into input bus 0 and out of output bus 0: a
    // class without either is refused here rather than declined block by block.
    if (!hasAudioBus(*r.component, kInput)) {
        error = "plugin has no audio input bus";
        unload();
        return false;
    }
    if (!hasAudioBus(*r.component, kOutput)) {
        error = "plugin has no audio output bus";
        unload();
        return false;
    }

    Record* rec = &r;
    r.handler = IPtr<IComponentHandler>(
        new Handler([rec](ParamID id, ParamValue value) { rec->changeTransfer.addChange(id, value, 0); }), false);
    if (r.controller)
        r.controller->setComponentHandler(r.handler);

    if (!startProcessing(r, error)) {
        unload();
        return false;
    }

    r.pluginName = chosen->name;
    r.pluginPath = path;
    r.classIndex = static_cast<int>(chosen - classes.begin());
    noteLoaded(this);
    return true;
}

void PluginSlot::prepare(double sampleRate, int32_t maxBlockSize) {
    Record& r = *record_;
    // Set up for the block the stream really delivers, smaller ones included:
    // convolution plug-ins, for one, stay silent on blocks shorter than promised.
    if (sampleRate == r.sampleRate && r.maxBlockSize == maxBlockSize)
        return;
    r.sampleRate = sampleRate;
    r.maxBlockSize = maxBlockSize;
    if (r.component) {
        stopProcessing(r);
        std::string ignored;
        startProcessing(r, ignored);
    }
}

void PluginSlot::unload() {
    Record& r = *record_;
    closeEditor();
    stopProcessing(r);
    if (r.controller)
        r.controller->setComponentHandler(nullptr);
    if (r.handler) {
        static_cast<Handler*>(r.handler.get())->detach();
        // Edits the old plug-in left behind are not meant for the next one.
        // Taking the process lock makes this thread the ring's only reader.
        std::lock_guard<std::mutex> lock(r.processLock);
        r.changeTransfer.removeChanges();
    }
    r.provider.reset();
    r.controller = nullptr;
    r.component = nullptr;
    r.handler = nullptr;
    r.module.reset();
    r.pluginName.clear();
    r.pluginPath.clear();
    noteEmpty(this);
}

bool PluginSlot::isReady() const { return record_->ready.load(); }

bool PluginSlot::isLoaded() const { return record_->component != nullptr; }

std::string PluginSlot::pluginName() const { return record_->pluginName; }

std::string PluginSlot::pluginPath() const { return record_->pluginPath; }

bool PluginSlot::process(const float* input, float* left, float* right, int32_t n) {
    Record& r = *record_;
    if (!r.ready.load())
        return false;
    std::unique_lock<std::mutex> lock(r.processLock, std::try_to_lock);
    if (!lock.owns_lock())
        return false;
    // A call that saw ready just before a stop may get the lock while the
    // following start is half done: only a ready slot is complete.
    if (!r.ready.load() || !r.processor)
        return false;

    HostProcessData& data = r.processData;
    // A block longer than the buffers never reaches the plug-in (its edits stay queued).
    if (n <= 0 || n > data.maxSamples() || data.numInputs < 1 || data.numOutputs < 1 ||
        data.inputs[0].numChannels < 1 || data.outputs[0].numChannels < 1)
        return false;

    r.changeTransfer.transferChangesTo(r.inputChanges);

    const AudioBusBuffers& in = data.inputs[0];
    const size_t bytes = static_cast<size_t>(n) * sizeof(float);
    for (int32 c = 0; c < in.numChannels; ++c)
        std::memcpy(in.channelBuffers32[c], input, bytes);
    data.numSamples = n;

    const bool ok = r.processor->process(data) == kResultOk;
    if (ok) {
        const AudioBusBuffers& out = data.outputs[0];
        std::memcpy(left, out.channelBuffers32[0], bytes);
        std::memcpy(right, out.channelBuffers32[out.numChannels > 1 ? 1 : 0], bytes);
    }
    r.inputChanges.clearQueue();
    r.outputChanges.clearQueue();
    return ok;
}

bool pluginHostingAvailable() { return true; }

} // namespace corvena
