// Small VST 3 plug-ins for the tests: one source, many variants.
//
// Variants are declared in tests/plugins/CMakeLists.txt with
//   corvena_test_plugin(<BundleName> <COMPILE DEFINITIONS...>)
// which builds <BundleName>.vst3/Contents/x86_64-linux/<BundleName>.so from
// this file with the given definitions. Every behaviour that differs between
// variants is one TP_* macro tested with #if below; a new variant adds its
// macro here (default 0) and one line in the CMakeLists.txt. An editor variant
// would override EditController::createView under its own #if.
//
// The base plug-in is a gain: one parameter (id kGainId, normalized, default
// 0.5 = unity, output = input × 2 × value) applied from the input parameter
// changes of each block, so the tests can hear edits.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "TestPluginProbe.h"

#include "pluginterfaces/base/ibstream.h"
#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivsthostapplication.h"
#include "pluginterfaces/vst/ivstparameterchanges.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "public.sdk/source/vst/vstbus.h"
#include "public.sdk/source/vst/vstcomponent.h"
#include "public.sdk/source/vst/vsteditcontroller.h"
#if TP_EDITOR
#include "pluginterfaces/gui/iplugview.h"

#include <unistd.h>
#endif

#ifndef TP_NAME
#define TP_NAME "Corvena Test Gain"
#endif
#ifndef TP_REFUSE_SETUP          // setupProcessing always refused
#define TP_REFUSE_SETUP 0
#endif
#ifndef TP_ONLY_RATE             // setupProcessing refused at any other rate (0: every rate)
#define TP_ONLY_RATE 0
#endif
#ifndef TP_REFUSE_ACTIVE         // setActive(true) refused
#define TP_REFUSE_ACTIVE 0
#endif
#ifndef TP_CONTROLLER_ONLY       // the factory offers only the controller class
#define TP_CONTROLLER_ONLY 0
#endif
#ifndef TP_TWO_AUDIO_CLASSES     // a second audio class after the first
#define TP_TWO_AUDIO_CLASSES 0
#endif
#ifndef TP_MONO_OUTPUT           // output bus is mono
#define TP_MONO_OUTPUT 0
#endif
#ifndef TP_STEREO_INPUT          // input bus is stereo, a mono arrangement is refused
#define TP_STEREO_INPUT 0
#endif
#ifndef TP_FAIL_INITIALIZE       // the component's initialize fails
#define TP_FAIL_INITIALIZE 0
#endif
#ifndef TP_NO_INPUT_BUS
#define TP_NO_INPUT_BUS 0
#endif
#ifndef TP_NO_OUTPUT_BUS
#define TP_NO_OUTPUT_BUS 0
#endif
#ifndef TP_NO_PROCESSOR          // the component does not answer IAudioProcessor
#define TP_NO_PROCESSOR 0
#endif
#ifndef TP_NO_CONTROLLER         // the component names no controller class
#define TP_NO_CONTROLLER 0
#endif
#ifndef TP_FAIL_MODULE_ENTRY     // ModuleEntry reports failure
#define TP_FAIL_MODULE_ENTRY 0
#endif

// Editor variants: a view with no drawing of its own that exercises the host's
// frame and Linux run loop (see TestView below).
#ifndef TP_EDITOR                // the controller creates an editor view
#define TP_EDITOR 0
#endif
#ifndef TP_VIEW_WIDTH            // size the view reports before any resize
#define TP_VIEW_WIDTH 320
#endif
#ifndef TP_VIEW_HEIGHT
#define TP_VIEW_HEIGHT 240
#endif
#ifndef TP_VIEW_RESIZE           // asks for TP_VIEW_RESIZE_W x TP_VIEW_RESIZE_H once its run loop works
#define TP_VIEW_RESIZE 1
#endif
#ifndef TP_VIEW_RESIZE_W
#define TP_VIEW_RESIZE_W 480
#endif
#ifndef TP_VIEW_RESIZE_H
#define TP_VIEW_RESIZE_H 360
#endif
#ifndef TP_VIEW_EDIT_VALUE       // >= 0: edits the gain to this value from a timer tick
#define TP_VIEW_EDIT_VALUE -1
#endif
#ifndef TP_VIEW_REFUSE_ATTACH    // attached registers its handlers, then refuses
#define TP_VIEW_REFUSE_ATTACH 0
#endif
#ifndef TP_VIEW_NO_PLATFORM      // supports no platform type
#define TP_VIEW_NO_PLATFORM 0
#endif

#define TP_EXPORT extern "C" __attribute__((visibility("default")))

using namespace Steinberg;
using namespace Steinberg::Vst;
using corvena::testplugin::Probe;

namespace {

Probe gProbe;

// A plug-in torn down after its module's statics were destroyed (at process
// exit) would use dead objects; this one aborts so that tests see it.
volatile bool gModuleFinalised = false;
struct ModuleStatics {
    ~ModuleStatics() { gModuleFinalised = true; }
} gModuleStatics;

constexpr ParamID kGainId = 7;

const FUID kProcessorUid(0x436F7276, 0x656E6154, 0x65737447, 0x61696E31);
const FUID kSecondProcessorUid(0x436F7276, 0x656E6154, 0x65737447, 0x61696E32);
const FUID kControllerUid(0x436F7276, 0x656E6154, 0x65737443, 0x74726C31);

int channelsOf(SpeakerArrangement arr) {
    int n = 0;
    for (; arr; arr &= arr - 1)
        ++n;
    return n;
}

class GainProcessor : public Component, public IAudioProcessor {
public:
    GainProcessor() {
        ++gProbe.components;
        gProbe.gain = 0.5;
#if !TP_NO_CONTROLLER
        setControllerClass(kControllerUid);
#endif
    }
    ~GainProcessor() override { --gProbe.components; }

    tresult PLUGIN_API initialize(FUnknown* context) override {
        ++gProbe.componentInits;
        if (TP_FAIL_INITIALIZE)
            return kResultFalse;
        const tresult result = Component::initialize(context);
        if (result != kResultOk)
            return result;
#if !TP_NO_INPUT_BUS
        audioInputs.push_back(IPtr<Vst::Bus>(
            new AudioBus(u"In", kMain, BusInfo::kDefaultActive, TP_STEREO_INPUT ? SpeakerArr::kStereo : SpeakerArr::kMono),
            false));
#endif
#if !TP_NO_OUTPUT_BUS
        audioOutputs.push_back(IPtr<Vst::Bus>(
            new AudioBus(u"Out", kMain, BusInfo::kDefaultActive, TP_MONO_OUTPUT ? SpeakerArr::kMono : SpeakerArr::kStereo),
            false));
#endif
        return kResultOk;
    }
    tresult PLUGIN_API terminate() override {
        ++gProbe.componentTerminates;
        if (gModuleFinalised)
            std::abort();
        // Talks to the host context at teardown, as real plug-ins do.
        if (hostContext) {
            void* obj = nullptr;
            if (hostContext->queryInterface(IHostApplication::iid, &obj) == kResultOk && obj) {
                String128 name{};
                static_cast<IHostApplication*>(obj)->getName(name);
                static_cast<IHostApplication*>(obj)->release();
            }
        }
        return Component::terminate();
    }
    tresult PLUGIN_API connect(IConnectionPoint* other) override {
        ++gProbe.connects;
        return Component::connect(other);
    }
    tresult PLUGIN_API disconnect(IConnectionPoint* other) override {
        ++gProbe.disconnects;
        return Component::disconnect(other);
    }
    tresult PLUGIN_API setActive(TBool state) override {
        if (state) {
            ++gProbe.activations;
            if (TP_REFUSE_ACTIVE)
                return kResultFalse;
        }
        gProbe.active = state != 0;
        return kResultOk;
    }
    tresult PLUGIN_API getState(IBStream* state) override {
        if (!state)
            return kInvalidArgument;
        double value = gProbe.gain;
        return state->write(&value, sizeof value, nullptr);
    }
    tresult PLUGIN_API setState(IBStream*) override { return kResultOk; }

    // IAudioProcessor
    tresult PLUGIN_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                                          int32 numOuts) override {
        if (numIns != static_cast<int32>(audioInputs.size()) || numOuts != static_cast<int32>(audioOutputs.size()))
            return kResultFalse;
        const SpeakerArrangement wantIn = TP_STEREO_INPUT ? SpeakerArr::kStereo : SpeakerArr::kMono;
        const SpeakerArrangement wantOut = TP_MONO_OUTPUT ? SpeakerArr::kMono : SpeakerArr::kStereo;
        if ((numIns && inputs[0] != wantIn) || (numOuts && outputs[0] != wantOut))
            return kResultFalse;
        gProbe.inputArrangementChannels = numIns ? channelsOf(inputs[0]) : 0;
        return kResultOk;
    }
    tresult PLUGIN_API getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement& arr) override {
        BusList& list = dir == kInput ? audioInputs : audioOutputs;
        if (index < 0 || index >= static_cast<int32>(list.size()))
            return kInvalidArgument;
        arr = static_cast<AudioBus*>(list[static_cast<size_t>(index)].get())->getArrangement();
        return kResultOk;
    }
    tresult PLUGIN_API canProcessSampleSize(int32 size) override { return size == kSample32 ? kResultTrue : kResultFalse; }
    uint32 PLUGIN_API getLatencySamples() override { return 0; }
    tresult PLUGIN_API setupProcessing(ProcessSetup& setup) override {
        ++gProbe.setupCalls;
        gProbe.setupRate = setup.sampleRate;
        gProbe.setupMaxBlock = setup.maxSamplesPerBlock;
        if (TP_REFUSE_SETUP || setup.symbolicSampleSize != kSample32)
            return kResultFalse;
        if (TP_ONLY_RATE != 0 && setup.sampleRate != TP_ONLY_RATE)
            return kResultFalse;
        maxBlock_ = setup.maxSamplesPerBlock;
        return kResultOk;
    }
    tresult PLUGIN_API setProcessing(TBool state) override {
        gProbe.processing = state != 0;
        return kResultOk;
    }
    tresult PLUGIN_API process(ProcessData& data) override {
        ++gProbe.processCalls;
        if (!gProbe.active || !gProbe.processing || data.numSamples > maxBlock_)
            ++gProbe.badProcessCalls;
        gProbe.lastNumSamples = data.numSamples;
        gProbe.outputChangesNull = data.outputParameterChanges == nullptr;
        gProbe.eventsNull = data.inputEvents == nullptr && data.outputEvents == nullptr;
        if (data.processContext) {
            gProbe.contextRate = data.processContext->sampleRate;
            gProbe.contextTempo = data.processContext->tempo;
            gProbe.contextState = static_cast<int>(data.processContext->state);
        }
        readChanges(data.inputParameterChanges);
        if (gProbe.failProcess)
            return kResultFalse;
        if (data.numInputs < 1 || data.numOutputs < 1)
            return kResultFalse;

        const AudioBusBuffers& in = data.inputs[0];
        AudioBusBuffers& out = data.outputs[0];
        gProbe.inputChannels = in.numChannels;
        gProbe.outputChannels = out.numChannels;
        bool identical = true;
        for (int32 c = 1; c < in.numChannels; ++c)
            identical = identical &&
                        std::memcmp(in.channelBuffers32[0], in.channelBuffers32[c], sizeof(float) * data.numSamples) == 0;
        gProbe.inputsIdentical = identical;

        const float factor = static_cast<float>(2.0 * gProbe.gain.load());
        for (int32 c = 0; c < out.numChannels; ++c) {
            const float* src = in.channelBuffers32[std::min(c, in.numChannels - 1)];
            float* dst = out.channelBuffers32[c];
            for (int32 i = 0; i < data.numSamples; ++i)
                dst[i] = src[i] * factor;
        }
        return kResultOk;
    }
    uint32 PLUGIN_API getTailSamples() override { return 0; }

    OBJ_METHODS(GainProcessor, Component)
    DEFINE_INTERFACES
#if !TP_NO_PROCESSOR
        DEF_INTERFACE(IAudioProcessor)
#endif
    END_DEFINE_INTERFACES(Component)
    REFCOUNT_METHODS(Component)

private:
    void readChanges(IParameterChanges* changes) {
        if (!changes)
            return;
        const int32 count = changes->getParameterCount();
        if (count <= 0)
            return;
        ++gProbe.blocksWithChanges;
        int stored = 0;
        for (int32 i = 0; i < count; ++i) {
            IParamValueQueue* queue = changes->getParameterData(i);
            if (!queue)
                continue;
            const int32 points = queue->getPointCount();
            int32 offset = -1;
            ParamValue value = -1;
            if (points > 0)
                queue->getPoint(points - 1, offset, value);
            if (stored < Probe::kMaxChanges)
                gProbe.lastChanges[stored++] = {queue->getParameterId(), points, offset, value};
            if (queue->getParameterId() == kGainId && points > 0)
                gProbe.gain = value;
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
        if (result == kResultOk)
            parameters.addParameter(u"Gain", nullptr, 0, 0.5, ParameterInfo::kCanAutomate, kGainId);
        gController = this;
        return result;
    }
    tresult PLUGIN_API terminate() override {
        ++gProbe.controllerTerminates;
        GainController* self = this;
        gController.compare_exchange_strong(self, nullptr);
        return EditController::terminate();
    }
    tresult PLUGIN_API setComponentState(IBStream* state) override {
        ++gProbe.componentStates;
        return kResultOk;
    }
    tresult PLUGIN_API setComponentHandler(IComponentHandler* handler) override {
        gProbe.handler = handler;
        return EditController::setComponentHandler(handler);
    }
    tresult PLUGIN_API connect(IConnectionPoint* other) override {
        ++gProbe.connects;
        return EditController::connect(other);
    }
    tresult PLUGIN_API disconnect(IConnectionPoint* other) override {
        ++gProbe.disconnects;
        return EditController::disconnect(other);
    }

#if TP_EDITOR
    IPlugView* PLUGIN_API createView(FIDString name) override;
#endif

    int reportEdit(ParamID id, ParamValue value) {
        beginEdit(id);
        const tresult result = performEdit(id, value);
        endEdit(id);
        return result;
    }
};

#if TP_EDITOR
// The editor view: like the views of real Linux plug-ins it needs the host's run
// loop, found through the frame, and refuses to attach without it. Its timer
// writes a byte into a pipe whose reading end is watched through the run loop;
// once both have fired a few times it asks the host for a new size, and it can
// edit the gain from a timer tick as a user turning a knob would.
class TestView : public IPlugView, public Linux::ITimerHandler, public Linux::IEventHandler {
public:
    explicit TestView(GainController* controller) : controller_(controller) {
        ++gProbe.viewsCreated;
        ++gProbe.viewsAlive;
        gProbe.viewWidth = width_;
        gProbe.viewHeight = height_;
    }

    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, IPlugView::iid) || FUnknownPrivate::iidEqual(iid, FUnknown::iid))
            *obj = static_cast<IPlugView*>(this);
        else if (FUnknownPrivate::iidEqual(iid, Linux::ITimerHandler::iid))
            *obj = static_cast<Linux::ITimerHandler*>(this);
        else if (FUnknownPrivate::iidEqual(iid, Linux::IEventHandler::iid))
            *obj = static_cast<Linux::IEventHandler*>(this);
        else {
            *obj = nullptr;
            return kNoInterface;
        }
        addRef();
        return kResultOk;
    }
    uint32 PLUGIN_API addRef() override { return ++refs_; }
    uint32 PLUGIN_API release() override {
        const uint32 left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    tresult PLUGIN_API isPlatformTypeSupported(FIDString type) override {
        if (TP_VIEW_NO_PLATFORM)
            return kResultFalse;
        return type && std::strcmp(type, kPlatformTypeX11EmbedWindowID) == 0 ? kResultTrue : kResultFalse;
    }
    tresult PLUGIN_API attached(void* parent, FIDString) override {
        ++gProbe.viewAttached;
        gProbe.viewParent = reinterpret_cast<uintptr_t>(parent);
        if (!frame_)
            return kResultFalse;
        FUnknownPtr<Linux::IRunLoop> loop(frame_);
        if (!loop)
            return kResultFalse;
        runLoop_ = loop;
        if (::pipe(pipe_) != 0)
            return kResultFalse;
        runLoop_->registerTimer(static_cast<Linux::ITimerHandler*>(this), 10);
        runLoop_->registerEventHandler(static_cast<Linux::IEventHandler*>(this), pipe_[0]);
        if (TP_VIEW_REFUSE_ATTACH)
            return kResultFalse; // leaves its registrations behind, as a careless plug-in might
        return kResultOk;
    }
    tresult PLUGIN_API removed() override {
        ++gProbe.viewRemoved;
        if (runLoop_) {
            runLoop_->unregisterTimer(static_cast<Linux::ITimerHandler*>(this));
            runLoop_->unregisterEventHandler(static_cast<Linux::IEventHandler*>(this));
            runLoop_ = nullptr;
        }
        return kResultOk;
    }
    tresult PLUGIN_API onWheel(float) override { return kResultFalse; }
    tresult PLUGIN_API onKeyDown(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API onKeyUp(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API getSize(ViewRect* size) override {
        if (!size)
            return kInvalidArgument;
        *size = ViewRect(0, 0, width_, height_);
        return kResultOk;
    }
    tresult PLUGIN_API onSize(ViewRect* size) override {
        if (!size)
            return kInvalidArgument;
        width_ = size->getWidth();
        height_ = size->getHeight();
        gProbe.viewWidth = width_;
        gProbe.viewHeight = height_;
        return kResultOk;
    }
    tresult PLUGIN_API onFocus(TBool) override { return kResultOk; }
    tresult PLUGIN_API setFrame(IPlugFrame* frame) override {
        frame_ = frame;
        gProbe.viewHasFrame = frame != nullptr;
        return kResultOk;
    }
    tresult PLUGIN_API canResize() override { return kResultFalse; }
    tresult PLUGIN_API checkSizeConstraint(ViewRect*) override { return kResultOk; }

    void PLUGIN_API onTimer() override {
        ++gProbe.viewTimerTicks;
        if (pipe_[1] >= 0)
            (void)!::write(pipe_[1], "t", 1);
        if (TP_VIEW_RESIZE && !resized_ && frame_ && gProbe.viewTimerTicks >= 3 && gProbe.viewFdEvents >= 3) {
            resized_ = true;
            ViewRect rect(0, 0, TP_VIEW_RESIZE_W, TP_VIEW_RESIZE_H);
            gProbe.viewResizeResult = frame_->resizeView(this, &rect);
        }
        if (TP_VIEW_EDIT_VALUE >= 0 && !edited_ && gProbe.viewTimerTicks >= 3) {
            edited_ = true;
            gProbe.viewEditResult = controller_->reportEdit(kGainId, TP_VIEW_EDIT_VALUE);
        }
    }
    void PLUGIN_API onFDIsSet(Linux::FileDescriptor fd) override {
        char c;
        if (::read(fd, &c, 1) == 1)
            ++gProbe.viewFdEvents;
    }

private:
    ~TestView() {
        --gProbe.viewsAlive;
        for (int fd : pipe_)
            if (fd >= 0)
                ::close(fd);
    }

    std::atomic<uint32> refs_{1};
    IPtr<GainController> controller_;
    IPlugFrame* frame_ = nullptr;
    IPtr<Linux::IRunLoop> runLoop_;
    int pipe_[2] = {-1, -1};
    int32 width_ = TP_VIEW_WIDTH, height_ = TP_VIEW_HEIGHT;
    bool resized_ = false, edited_ = false;
};

IPlugView* PLUGIN_API GainController::createView(FIDString name) {
    if (!name || std::strcmp(name, ViewType::kEditor) != 0)
        return nullptr;
    return new TestView(this);
}
#endif

int editThroughController(uint32_t id, double value) {
    GainController* controller = gController.load();
    return controller ? controller->reportEdit(id, value) : kResultFalse;
}

struct ClassEntry {
    const FUID* uid;
    const char* category;
    const char16* name;
    FUnknown* (*create)();
};

FUnknown* createProcessor() { return static_cast<IAudioProcessor*>(new GainProcessor()); }
FUnknown* createController() { return static_cast<IEditController*>(new GainController()); }

const ClassEntry kClasses[] = {
#if !TP_CONTROLLER_ONLY
    {&kProcessorUid, kVstAudioEffectClass, u"" TP_NAME, createProcessor},
#endif
    {&kControllerUid, kVstComponentControllerClass, u"" TP_NAME " Controller", createController},
#if TP_TWO_AUDIO_CLASSES
    {&kSecondProcessorUid, kVstAudioEffectClass, u"" TP_NAME " Second", createProcessor},
#endif
};
constexpr int32 kClassCount = static_cast<int32>(sizeof(kClasses) / sizeof(kClasses[0]));

void copyAscii(char8* dst, size_t size, const char16* src) {
    size_t i = 0;
    for (; i + 1 < size && src[i]; ++i)
        dst[i] = static_cast<char8>(src[i]);
    dst[i] = 0;
}

void copyWide(char16* dst, size_t size, const char16* src) {
    size_t i = 0;
    for (; i + 1 < size && src[i]; ++i)
        dst[i] = src[i];
    dst[i] = 0;
}

class Factory : public IPluginFactory3 {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, FUnknown::iid) || FUnknownPrivate::iidEqual(iid, IPluginFactory::iid) ||
            FUnknownPrivate::iidEqual(iid, IPluginFactory2::iid) || FUnknownPrivate::iidEqual(iid, IPluginFactory3::iid)) {
            addRef();
            *obj = static_cast<IPluginFactory3*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    // The factory is a static object of the module.
    uint32 PLUGIN_API addRef() override { return ++refs_; }
    uint32 PLUGIN_API release() override { return --refs_; }

    tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) override {
        if (!info)
            return kInvalidArgument;
        *info = PFactoryInfo("corvena tests", "", "", PFactoryInfo::kUnicode);
        return kResultOk;
    }
    int32 PLUGIN_API countClasses() override { return kClassCount; }
    tresult PLUGIN_API getClassInfo(int32 index, PClassInfo* info) override {
        if (!info || index < 0 || index >= kClassCount)
            return kInvalidArgument;
        const ClassEntry& e = kClasses[index];
        char8 name[PClassInfo::kNameSize];
        copyAscii(name, sizeof name, e.name);
        *info = PClassInfo(e.uid->toTUID(), PClassInfo::kManyInstances, e.category, name);
        return kResultOk;
    }
    tresult PLUGIN_API getClassInfo2(int32 index, PClassInfo2* info) override {
        if (!info || index < 0 || index >= kClassCount)
            return kInvalidArgument;
        const ClassEntry& e = kClasses[index];
        char8 name[PClassInfo::kNameSize];
        copyAscii(name, sizeof name, e.name);
        *info = PClassInfo2(e.uid->toTUID(), PClassInfo::kManyInstances, e.category, name, 0, "Fx", "corvena tests",
                            "1.0.0", kVstVersionString);
        return kResultOk;
    }
    tresult PLUGIN_API getClassInfoUnicode(int32 index, PClassInfoW* info) override {
        if (!info || index < 0 || index >= kClassCount)
            return kInvalidArgument;
        const ClassEntry& e = kClasses[index];
        *info = PClassInfoW(e.uid->toTUID(), PClassInfo::kManyInstances, e.category, e.name, 0, "Fx", u"corvena tests",
                            u"1.0.0", u"VST 3");
        copyWide(info->name, PClassInfo::kNameSize, e.name);
        return kResultOk;
    }
    tresult PLUGIN_API createInstance(FIDString cid, FIDString iid, void** obj) override {
        if (!obj)
            return kInvalidArgument;
        *obj = nullptr;
        for (const ClassEntry& e : kClasses) {
            if (!FUnknownPrivate::iidEqual(cid, e.uid->toTUID()))
                continue;
            FUnknown* instance = e.create();
            const tresult result = instance->queryInterface(iid, obj);
            instance->release();
            return result == kResultOk ? kResultOk : kNoInterface;
        }
        return kNoInterface;
    }
    tresult PLUGIN_API setHostContext(FUnknown*) override { return kResultOk; }

private:
    std::atomic<uint32> refs_{0};
};

Factory gFactory;

} // namespace

TP_EXPORT bool ModuleEntry(void*) { return !TP_FAIL_MODULE_ENTRY; }
TP_EXPORT bool ModuleExit() { return true; }

TP_EXPORT IPluginFactory* GetPluginFactory() {
    gFactory.addRef();
    return &gFactory;
}

TP_EXPORT Probe* corvenaTestProbe() {
    gProbe.edit = editThroughController;
    return &gProbe;
}
