#pragma once
// The slot's private record. Shared by the slot's units (lifecycle and
// processing, editor); nothing outside src/plugin includes it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "plugin/HostProcessData.h"
#include "plugin/Module.h"
#include "plugin/ParameterChangeTransfer.h"
#include "plugin/ParameterChanges.h"
#include "plugin/PlatformWindow.h"
#include "plugin/PlugProvider.h"
#include "plugin/PluginSlot.h"

#include "pluginterfaces/base/smartpointer.h"
#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"

namespace corvena {

// Allocated with the slot and never moved, so the audio thread can rely on it.
// Members are destroyed in reverse order of declaration.
struct PluginSlot::Record {
    Record();

    std::shared_ptr<Module> module;
    std::unique_ptr<PlugProvider> provider;
    Steinberg::IPtr<Steinberg::Vst::IComponent> component;
    Steinberg::IPtr<Steinberg::Vst::IEditController> controller;   // may be null
    Steinberg::IPtr<Steinberg::Vst::IAudioProcessor> processor;    // null while processing is stopped
    Steinberg::IPtr<Steinberg::Vst::IComponentHandler> handler;    // the slot's Handler
    HostProcessData processData;
    ParameterChanges inputChanges;
    ParameterChanges outputChanges; // what the plug-in reports (meters); read and dropped
    ParameterChangeTransfer changeTransfer;
    Steinberg::Vst::ProcessContext processContext{};
    std::string pluginName;
    std::string pluginPath;
    double sampleRate = 48000.0;
    int32_t maxBlockSize = 512;
    int classIndex = -1;  // the factory's class this slot holds
    bool offline = false; // set up for offline processing
    bool active = false;
    std::mutex processLock;
    std::atomic<bool> ready{false};
    std::unique_ptr<PlatformWindow> editorWindow;
    Steinberg::IPtr<Steinberg::IPlugView> editorView;
    Steinberg::IPtr<Steinberg::IPlugFrame> editorFrame;
};

// The slot's start and stop of processing, shared by its units. Start takes
// no lock and expects `ready` false; stop clears `ready`, then waits for a
// process call in progress.
bool startProcessing(PluginSlot::Record& r, std::string& error);
void stopProcessing(PluginSlot::Record& r);

} // namespace corvena
