// Small VST 3 plug-ins for the tests, one source: each variant in CMakeLists.txt
// sets TP_NAME and TP_FLAGS, a sum of the flags below. The base plug-in is a
// gain: parameter kGainId, normalized, default 0.5 = unity (output = input x 2 x
// value), applied from each block's input parameter changes so tests hear edits.
#include <algorithm>
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "TestPluginProbe.h"

#include "pluginterfaces/base/ibstream.h"
#include "pluginterfaces/vst/ivsthostapplication.h"
#include "pluginterfaces/vst/ivstparameterchanges.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "public.sdk/source/common/pluginview.h"
#include "public.sdk/source/vst/vstbus.h"
#include "public.sdk/source/vst/vstcomponent.h"
#include "public.sdk/source/vst/vsteditcontroller.h"

enum : unsigned {
    Only48k = 1 << 1,          // setupProcessing refused at any other rate
    RefuseActive = 1 << 2,     // setActive(true) refused
    ControllerOnly = 1 << 3,   // the factory offers only the controller class
    TwoAudioClasses = 1 << 4,  // a second audio class after the first
    MonoOutput = 1 << 5,
    StereoInput = 1 << 6,      // a mono input arrangement is refused
    FailInitialize = 1 << 7,   // the component's initialize fails
    NoInputBus = 1 << 8,
    NoOutputBus = 1 << 9,
    NoProcessor = 1 << 10,     // the component does not answer IAudioProcessor
    NoController = 1 << 11,    // the component names no controller class
    FailModuleEntry = 1 << 12,
    Editor = 1 << 13,          // the controller creates a view (TestView)
    ViewZeroSize = 1 << 14,    // reports 0 x 0 and never asks for a resize
    ViewEdits = 1 << 15,       // edits the gain to 0.25 from a timer tick
    ViewRefuseAttach = 1 << 16,
    ViewNoPlatform = 1 << 17,  // supports no platform type
    StateFails = 1 << 18,      // the component neither gives nor takes a state
    ViewSizedOnAttach = 1 << 19, // reports 32 x 32 until attached, its real size after
    Chatter = 1 << 28,         // writes a long numbered line to stderr and to stdout on every block
    Complain = 1 << 29,        // writes the same line to stderr on every block
    Instrument = 1 << 30,      // the audio class says it is an instrument
};
constexpr bool has(unsigned flag) { return ((TP_FLAGS) & flag) != 0; }

#ifdef _WIN32
#define TP_EXPORT extern "C" __declspec(dllexport)
#else
#define TP_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace Steinberg;
using namespace Steinberg::Vst;
using corvena::testplugin::Probe;

namespace {

Probe gProbe;

// Reads n bytes and finds the stream's end right after them.
bool readExactly(IBStream* stream, void* data, int32 n) {
    int32 got = 0;
    char more = 0;
    return stream && stream->read(data, n, &got) == kResultOk && got == n && stream->read(&more, 1, &got) == kResultOk &&
           got == 0;
}
template <typename T> tresult writeValue(IBStream* stream, T value) {
    return stream ? stream->write(&value, sizeof value, nullptr) : kInvalidArgument;
}

// A plug-in torn down after its module's statics were destroyed (at process
// exit) would use dead objects; this one aborts so that tests see it.
volatile bool gModuleFinalised = false;
struct ModuleStatics { ~ModuleStatics() { gModuleFinalised = true; } } gModuleStatics;

constexpr ParamID kGainId = 7, kMeterId = 8; // the meter: written to the output changes only
const FUID kProcessorUid(0x436F7276, 0x656E6154, 0x65737447, 0x61696E31);
const FUID kSecondProcessorUid(0x436F7276, 0x656E6154, 0x65737447, 0x61696E32);
const FUID kControllerUid(0x436F7276, 0x656E6154, 0x65737443, 0x74726C31);
const SpeakerArrangement kInArr = has(StereoInput) ? SpeakerArr::kStereo : SpeakerArr::kMono;
const SpeakerArrangement kOutArr = has(MonoOutput) ? SpeakerArr::kMono : SpeakerArr::kStereo;

class GainProcessor : public Component, public IAudioProcessor {
public:
    GainProcessor() {
        ++gProbe.components;
        gProbe.gain = 0.5;
        if (!has(NoController)) setControllerClass(kControllerUid);
    }
    ~GainProcessor() override { --gProbe.components; }

    tresult PLUGIN_API initialize(FUnknown* context) override {
        ++gProbe.componentInits;
        if (has(FailInitialize) || Component::initialize(context) != kResultOk) return kResultFalse;
        if (!has(NoInputBus)) audioInputs.push_back(owned(new AudioBus(STR16("In"), kMain, BusInfo::kDefaultActive, kInArr)));
        if (!has(NoOutputBus)) audioOutputs.push_back(owned(new AudioBus(STR16("Out"), kMain, BusInfo::kDefaultActive, kOutArr)));
        return kResultOk;
    }
    tresult PLUGIN_API terminate() override {
        ++gProbe.componentTerminates;
        if (gModuleFinalised) std::abort();
        // Talks to the host context at teardown, as real plug-ins do.
        FUnknownPtr<IHostApplication> app(hostContext);
        String128 name{};
        if (app) app->getName(name);
        return Component::terminate();
    }
    tresult PLUGIN_API connect(IConnectionPoint* other) override { return ++gProbe.connects, Component::connect(other); }
    tresult PLUGIN_API disconnect(IConnectionPoint* other) override { return ++gProbe.disconnects, Component::disconnect(other); }
    tresult PLUGIN_API setActive(TBool state) override {
        if (state && (++gProbe.activations, has(RefuseActive))) return kResultFalse;
        return gProbe.active = state != 0, kResultOk;
    }
    // The state is the gain, 8 bytes, nothing more; anything else is refused.
    tresult PLUGIN_API getState(IBStream* state) override { return has(StateFails) ? kResultFalse : writeValue(state, gProbe.gain.load()); }
    tresult PLUGIN_API setState(IBStream* state) override {
        if (gProbe.active || gProbe.processing) ++gProbe.statesWhileProcessing;
        double value = 0;
        if (has(StateFails) || !readExactly(state, &value, sizeof value) || !(value >= 0 && value <= 1)) return kResultFalse;
        return gProbe.gain = value, kResultOk;
    }

    tresult PLUGIN_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs, int32 numOuts) override {
        if (numIns != static_cast<int32>(audioInputs.size()) || numOuts != static_cast<int32>(audioOutputs.size()) ||
            (numIns && inputs[0] != kInArr) || (numOuts && outputs[0] != kOutArr))
            return kResultFalse;
        gProbe.inputArrangementChannels = numIns ? SpeakerArr::getChannelCount(inputs[0]) : 0;
        return kResultOk;
    }
    tresult PLUGIN_API getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement& arr) override {
        if (index != 0 || has(dir == kInput ? NoInputBus : NoOutputBus)) return kInvalidArgument;
        return arr = dir == kInput ? kInArr : kOutArr, kResultOk;
    }
    tresult PLUGIN_API canProcessSampleSize(int32 size) override { return size == kSample32 ? kResultTrue : kResultFalse; }
    uint32 PLUGIN_API getLatencySamples() override { return 0; }
    uint32 PLUGIN_API getTailSamples() override { return 0; }
    tresult PLUGIN_API setupProcessing(ProcessSetup& setup) override {
        ++gProbe.setupCalls;
        gProbe.setupRate = setup.sampleRate;
        gProbe.setupMaxBlock = setup.maxSamplesPerBlock;
        if (setup.symbolicSampleSize != kSample32 || (has(Only48k) && setup.sampleRate != 48000)) return kResultFalse;
        maxBlock_ = setup.maxSamplesPerBlock;
        return kResultOk;
    }
    tresult PLUGIN_API setProcessing(TBool state) override { return gProbe.processing = state != 0, kResultOk; }
    tresult PLUGIN_API process(ProcessData& data) override {
        ++gProbe.processCalls;
        if (!gProbe.active || !gProbe.processing || data.numSamples > maxBlock_) ++gProbe.badProcessCalls;
        // Reports a meter as DPF plug-ins do; the host must empty the output changes after every block.
        gProbe.outputChangesLeft = -1;
        if (IParameterChanges* out = data.outputParameterChanges) {
            gProbe.outputChangesLeft = out->getParameterCount();
            int32 queueIndex = 0, pointIndex = 0;
            if (IParamValueQueue* meter = out->addParameterData(kMeterId, queueIndex)) meter->addPoint(0, 0.5, pointIndex);
        }
        if (has(Chatter | Complain)) { // a numbered line of a kilobyte, or always the same line
            char line[1024];
            const int n = has(Chatter) ? std::snprintf(line, sizeof line, "corvena test plugin: block %d %0*d\n", gProbe.processCalls.load(), 960, 0)
                                       : std::snprintf(line, sizeof line, "corvena test plugin: something is missing\n");
            (void)!::write(2, line, static_cast<size_t>(n));
            if (has(Chatter)) (void)!::write(1, line, static_cast<size_t>(n));
        }
        if (data.processContext) gProbe.contextRate = data.processContext->sampleRate;
        readChanges(data.inputParameterChanges);
        if (gProbe.failProcess || data.numInputs < 1 || data.numOutputs < 1) return kResultFalse;

        const AudioBusBuffers& in = data.inputs[0];
        AudioBusBuffers& out = data.outputs[0];
        gProbe.inputChannels = in.numChannels;
        gProbe.outputChannels = out.numChannels;
        gProbe.inputsIdentical = true;
        for (int32 c = 1; c < in.numChannels; ++c)
            if (std::memcmp(in.channelBuffers32[0], in.channelBuffers32[c], sizeof(float) * data.numSamples)) gProbe.inputsIdentical = false;
        const float factor = static_cast<float>(2.0 * gProbe.gain.load());
        for (int32 c = 0; c < out.numChannels; ++c) {
            const float* src = in.channelBuffers32[std::min(c, in.numChannels - 1)];
            for (int32 i = 0; i < data.numSamples; ++i) out.channelBuffers32[c][i] = src[i] * factor;
        }
        return kResultOk;
    }

    OBJ_METHODS(GainProcessor, Component)
    DEFINE_INTERFACES
        if (!has(NoProcessor)) DEF_INTERFACE(IAudioProcessor)
    END_DEFINE_INTERFACES(Component)
    REFCOUNT_METHODS(Component)

private:
    // Records each parameter's last point (id, point count, offset, value).
    void readChanges(IParameterChanges* changes) {
        const int32 count = changes ? changes->getParameterCount() : 0;
        if (count <= 0) return;
        ++gProbe.blocksWithChanges;
        int stored = 0;
        for (int32 i = 0; i < count; ++i) {
            IParamValueQueue* queue = changes->getParameterData(i);
            if (!queue) continue;
            const int32 points = queue->getPointCount();
            int32 offset = -1;
            ParamValue value = -1;
            if (points > 0) queue->getPoint(points - 1, offset, value);
            if (stored < Probe::kMaxChanges) gProbe.lastChanges[stored++] = {queue->getParameterId(), points, offset, value};
            if (queue->getParameterId() == kGainId && points > 0) gProbe.gain = value;
        }
        gProbe.lastChangeCount = stored;
    }

    int32 maxBlock_ = 0;
};

class GainController;
std::atomic<GainController*> gController{nullptr};

class GainController : public EditController {
public:
    GainController() { ++gProbe.controllers; }
    ~GainController() override { --gProbe.controllers; }

    tresult PLUGIN_API initialize(FUnknown* context) override {
        ++gProbe.controllerInits;
        const tresult result = EditController::initialize(context);
        if (result == kResultOk) parameters.addParameter(STR16("Gain"), STR16("x2"), 0, 0.5, ParameterInfo::kCanAutomate, kGainId);
        gController = this;
        return result;
    }
    tresult PLUGIN_API terminate() override {
        ++gProbe.controllerTerminates;
        if (gController == this) gController = nullptr;
        return EditController::terminate();
    }
    tresult PLUGIN_API setComponentState(IBStream* state) override {
        ++gProbe.componentStates;
        double value = 0;
        return readExactly(state, &value, sizeof value) ? setParamNormalized(kGainId, value) : kResultFalse;
    }
    // A state of its own, as a view size would be: 4 bytes, nothing more.
    tresult PLUGIN_API getState(IBStream* state) override { return writeValue(state, int32(gProbe.controllerState)); }
    tresult PLUGIN_API setState(IBStream* state) override {
        int32 value = 0;
        return readExactly(state, &value, sizeof value) ? (gProbe.controllerState = value, kResultOk) : kResultFalse;
    }
    tresult PLUGIN_API setComponentHandler(IComponentHandler* handler) override {
        return gProbe.handler = handler, EditController::setComponentHandler(handler);
    }
    tresult PLUGIN_API connect(IConnectionPoint* other) override { return ++gProbe.connects, EditController::connect(other); }
    tresult PLUGIN_API disconnect(IConnectionPoint* other) override { return ++gProbe.disconnects, EditController::disconnect(other); }
    IPlugView* PLUGIN_API createView(FIDString name) override;

    int reportEdit(ParamID id, ParamValue value) {
        setParamNormalized(id, value);
        beginEdit(id);
        const tresult result = performEdit(id, value);
        endEdit(id);
        return result;
    }
};

// The editor view: as real Linux views, it needs the host's run loop (through
// the frame) for a timer and a pipe it writes and watches; once both have fired
// a few times it asks for 480 x 360, and it may edit the gain from a tick. On
// Windows it is a child window ticking on a thread timer of its own.
#if SMTG_OS_LINUX
class TestView : public CPluginView, public Linux::ITimerHandler, public Linux::IEventHandler {
    static inline const char* const kPlatform = kPlatformTypeX11EmbedWindowID;
#else
class TestView : public CPluginView {
    static inline const char* const kPlatform = kPlatformTypeHWND;
#endif
public:
    explicit TestView(GainController* controller) : controller_(controller) {
        resize(has(ViewZeroSize) ? ViewRect() : has(ViewSizedOnAttach) ? ViewRect(0, 0, 32, 32) : ViewRect(0, 0, 320, 240));
        ++gProbe.viewsCreated;
        ++gProbe.viewsAlive;
    }
    ~TestView() override {
        --gProbe.viewsAlive;
#if SMTG_OS_LINUX
        for (int fd : pipe_)
            if (fd >= 0) ::close(fd);
#else
        stop();
#endif
    }

    tresult PLUGIN_API isPlatformTypeSupported(FIDString type) override {
        return !has(ViewNoPlatform) && type && std::strcmp(type, kPlatform) == 0 ? kResultTrue : kResultFalse;
    }
    tresult PLUGIN_API attached(void* parent, FIDString) override {
        ++gProbe.viewAttached;
        gProbe.viewParent = reinterpret_cast<uintptr_t>(parent);
        if (has(ViewSizedOnAttach)) resize(ViewRect(0, 0, 520, 390));
#if SMTG_OS_LINUX
        FUnknownPtr<Linux::IRunLoop> loop(plugFrame);
        if (!loop || ::pipe(pipe_) != 0) return kResultFalse;
        runLoop_ = loop;
        runLoop_->registerTimer(this, 10);
        runLoop_->registerEventHandler(this, pipe_[0]);
#else
        if (!plugFrame || !parent) return kResultFalse;
        child_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, rect.getWidth(), rect.getHeight(),
                                 static_cast<HWND>(parent), nullptr, nullptr, nullptr);
        gTickingView = this; // no descriptors on Windows: each tick stands in for an event too
        timer_ = SetTimer(nullptr, 0, 10, [](HWND, UINT, UINT_PTR, DWORD) {
            if (gTickingView) gTickingView->tick(), ++gProbe.viewFdEvents;
        });
#endif
        // A refusing view leaves its registrations behind, as a careless plug-in might.
        return has(ViewRefuseAttach) ? kResultFalse : kResultOk;
    }
    tresult PLUGIN_API removed() override { return ++gProbe.viewRemoved, stop(), kResultOk; }
    tresult PLUGIN_API onSize(ViewRect* size) override { return size ? (resize(*size), kResultOk) : kInvalidArgument; }
    tresult PLUGIN_API setFrame(IPlugFrame* frame) override { return gProbe.viewHasFrame = frame != nullptr, CPluginView::setFrame(frame); }
#if SMTG_OS_LINUX
    void PLUGIN_API onTimer() override {
        if (pipe_[1] >= 0) (void)!::write(pipe_[1], "t", 1);
        tick();
    }
    void PLUGIN_API onFDIsSet(Linux::FileDescriptor fd) override {
        char c;
        if (::read(fd, &c, 1) == 1) ++gProbe.viewFdEvents;
    }
#endif

    OBJ_METHODS(TestView, CPluginView)
    DEFINE_INTERFACES
#if SMTG_OS_LINUX
        DEF_INTERFACE(Linux::ITimerHandler)
        DEF_INTERFACE(Linux::IEventHandler)
#endif
    END_DEFINE_INTERFACES(CPluginView)
    REFCOUNT_METHODS(CPluginView)

private:
    void tick() {
        ++gProbe.viewTimerTicks;
        if (!has(ViewZeroSize) && !resized_ && plugFrame && gProbe.viewTimerTicks >= 3 && gProbe.viewFdEvents >= 3) {
            resized_ = true;
            ViewRect wanted(0, 0, 480, 360);
            gProbe.viewResizeResult = plugFrame->resizeView(this, &wanted);
        }
        if (has(ViewEdits) && !edited_ && gProbe.viewTimerTicks >= 3) {
            edited_ = true;
            controller_->reportEdit(kGainId, 0.25);
        }
    }
    void resize(const ViewRect& size) {
        setRect(size);
        gProbe.viewWidth = size.getWidth();
        gProbe.viewHeight = size.getHeight();
#ifdef _WIN32
        if (child_) SetWindowPos(child_, nullptr, 0, 0, size.getWidth(), size.getHeight(), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
#endif
    }
#if SMTG_OS_LINUX
    void stop() { // the pipe is closed with the view
        if (runLoop_) runLoop_->unregisterTimer(this), runLoop_->unregisterEventHandler(this);
        runLoop_ = nullptr;
    }
    IPtr<Linux::IRunLoop> runLoop_;
    int pipe_[2] = {-1, -1};
#else
    void stop() {
        if (timer_) KillTimer(nullptr, timer_);
        if (gTickingView == this) gTickingView = nullptr;
        if (child_) DestroyWindow(child_);
        timer_ = 0, child_ = nullptr;
    }
    static inline TestView* gTickingView = nullptr;
    HWND child_ = nullptr;
    UINT_PTR timer_ = 0;
#endif
    IPtr<GainController> controller_;
    bool resized_ = false, edited_ = false;
};

IPlugView* PLUGIN_API GainController::createView(FIDString name) {
    return has(Editor) && name && std::strcmp(name, ViewType::kEditor) == 0 ? new TestView(this) : nullptr;
}

int editThroughController(uint32_t id, double value) {
    GainController* controller = gController.load();
    return controller ? controller->reportEdit(id, value) : kResultFalse;
}

// The classes this variant offers start at kClasses, in factory order.
struct ClassEntry { const FUID* uid; const char8 *category, *name; FUnknown* (*create)(); };
FUnknown* createProcessor() { return static_cast<IAudioProcessor*>(new GainProcessor); }
FUnknown* createController() { return static_cast<IEditController*>(new GainController); }
const ClassEntry kAllClasses[] = {
    {&kProcessorUid, kVstAudioEffectClass, TP_NAME, createProcessor},
    {&kControllerUid, kVstComponentControllerClass, TP_NAME " Controller", createController},
    {&kSecondProcessorUid, kVstAudioEffectClass, TP_NAME " Second", createProcessor},
};
const ClassEntry* const kClasses = kAllClasses + (has(ControllerOnly) ? 1 : 0);
constexpr int32 kClassCount = 2 - (has(ControllerOnly) ? 1 : 0) + (has(TwoAudioClasses) ? 1 : 0);
const char* const kSubCategories = has(Instrument) ? "Instrument|Synth" : "Fx";

// A static object of the module, as the SDK's own factory is.
class Factory : public IPluginFactory3 {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        QUERY_INTERFACE(iid, obj, FUnknown::iid, IPluginFactory3)
        QUERY_INTERFACE(iid, obj, IPluginFactory::iid, IPluginFactory3)
        QUERY_INTERFACE(iid, obj, IPluginFactory2::iid, IPluginFactory3)
        QUERY_INTERFACE(iid, obj, IPluginFactory3::iid, IPluginFactory3)
        return *obj = nullptr, kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }

    tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) override {
        return info ? (*info = PFactoryInfo("corvena tests", "", "", PFactoryInfo::kUnicode), kResultOk) : kInvalidArgument;
    }
    int32 PLUGIN_API countClasses() override { return kClassCount; }
    // The three forms of a class's info, all made from the second.
    tresult PLUGIN_API getClassInfo2(int32 i, PClassInfo2* info) override {
        if (!info || i < 0 || i >= kClassCount) return kInvalidArgument;
        *info = PClassInfo2(kClasses[i].uid->toTUID(), PClassInfo::kManyInstances, kClasses[i].category, kClasses[i].name, 0,
                            kSubCategories, "corvena tests", "1.0.0", kVstVersionString);
        return kResultOk;
    }
    tresult PLUGIN_API getClassInfo(int32 i, PClassInfo* info) override {
        PClassInfo2 c;
        if (!info || getClassInfo2(i, &c) != kResultOk) return kInvalidArgument;
        return *info = PClassInfo(c.cid, c.cardinality, c.category, c.name), kResultOk;
    }
    tresult PLUGIN_API getClassInfoUnicode(int32 i, PClassInfoW* info) override {
        PClassInfo2 c;
        return info && getClassInfo2(i, &c) == kResultOk ? (info->fromAscii(c), kResultOk) : kInvalidArgument;
    }
    tresult PLUGIN_API createInstance(FIDString cid, FIDString iid, void** obj) override {
        if (!obj) return kInvalidArgument;
        *obj = nullptr;
        for (int32 i = 0; i < kClassCount; ++i) {
            if (!FUnknownPrivate::iidEqual(cid, kClasses[i].uid->toTUID())) continue;
            FUnknown* instance = kClasses[i].create();
            const tresult result = instance->queryInterface(iid, obj);
            instance->release();
            return result == kResultOk ? kResultOk : kNoInterface;
        }
        return kNoInterface;
    }
    tresult PLUGIN_API setHostContext(FUnknown*) override { return kResultOk; }
} gFactory;

} // namespace

#ifdef _WIN32
TP_EXPORT bool InitDll() { return !has(FailModuleEntry); }
TP_EXPORT bool ExitDll() { return true; }
#else
TP_EXPORT bool ModuleEntry(void*) { return !has(FailModuleEntry); }
TP_EXPORT bool ModuleExit() { return true; }
#endif
TP_EXPORT IPluginFactory* GetPluginFactory() { return &gFactory; }
TP_EXPORT Probe* corvenaTestProbe() {
    gProbe.edit = editThroughController;
    return &gProbe;
}
