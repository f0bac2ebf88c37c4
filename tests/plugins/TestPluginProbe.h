#pragma once
// What a test plug-in reports to the tests: each module exports
// `corvenaTestProbe()`, reached by opening the same shared object again (the
// loader maps it once). Atomics, since the audio side writes while a test reads;
// the change log is read only once processing stopped.
#include <atomic>
#include <cstdint>

namespace Steinberg::Vst {
class IComponentHandler;
}

namespace corvena::testplugin {

struct Change {
    uint32_t id;
    int32_t pointCount, offset;
    double value;
};

struct Probe {
    static constexpr int kMaxChanges = 4096;

    // Alive now and what they were told; never reset.
    std::atomic<int> components{0}, controllers{0}, viewsAlive{0};
    std::atomic<bool> active{false}, processing{false}, viewHasFrame{false};
    std::atomic<double> gain{0.5}; // normalized value the processor applies
    std::atomic<Steinberg::Vst::IComponentHandler*> handler{nullptr};
    // Makes the controller report an edit as its editor would (begin, perform, end).
    int (*edit)(uint32_t id, double value) = nullptr;

    std::atomic<int> componentInits{0}, componentTerminates{0}, controllerInits{0}, controllerTerminates{0};
    std::atomic<int> connects{0}, disconnects{0}, componentStates{0};
    std::atomic<int> setupCalls{0}, setupMaxBlock{0}, activations{0}, inputArrangementChannels{0};
    std::atomic<double> setupRate{0}, contextRate{0};
    std::atomic<int> processCalls{0}, badProcessCalls{0}; // bad: not active/processing, or too long a block
    std::atomic<int> inputChannels{0}, outputChannels{0};
    std::atomic<bool> inputsIdentical{true}, failProcess{false};
    std::atomic<int> outputChangesLeft{0}; // queues found in the output changes as a block began (-1: none given)
    std::atomic<int> controllerState{0};       // the controller's own state
    std::atomic<int> statesWhileProcessing{0}; // component setState calls while active or processing
    std::atomic<int> blocksWithChanges{0};
    int lastChangeCount = 0; // of the last block that carried changes
    Change lastChanges[kMaxChanges] = {};
    // Editor variants: the view and what it saw of the host's frame and run loop.
    std::atomic<int> viewsCreated{0}, viewAttached{0}, viewRemoved{0}, viewTimerTicks{0}, viewFdEvents{0};
    std::atomic<int> viewWidth{0}, viewHeight{0}, viewResizeResult{-1};
    std::atomic<uintptr_t> viewParent{0};

    void resetCounters() {
        componentInits = componentTerminates = controllerInits = controllerTerminates = connects = disconnects = 0;
        componentStates = setupCalls = setupMaxBlock = activations = inputArrangementChannels = processCalls = 0;
        badProcessCalls = inputChannels = outputChannels = outputChangesLeft = controllerState = 0;
        statesWhileProcessing = blocksWithChanges = lastChangeCount = 0;
        setupRate = contextRate = 0;
        inputsIdentical = true;
        failProcess = false;
        viewsCreated = viewAttached = viewRemoved = viewTimerTicks = viewFdEvents = 0;
        viewResizeResult = -1;
    }
};

using ProbeFn = Probe* (*)();

} // namespace corvena::testplugin
