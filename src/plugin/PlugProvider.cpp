#include "plugin/PlugProvider.h"
#include "plugin/InterfaceQuery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "plugin/MemoryStream.h"

#include "pluginterfaces/vst/ivstmessage.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace corvena {

PluginContextFactory& PluginContextFactory::instance() {
    static PluginContextFactory factory;
    return factory;
}

PlugProvider::PlugProvider(const PluginFactory& factory, ClassInfo info, bool plugIsGlobal)
    : factory_(factory), info_(std::move(info)), plugIsGlobal_(plugIsGlobal) {}

PlugProvider::~PlugProvider() { terminatePlugin(); }

bool PlugProvider::initialize() {
    FUnknown* context = PluginContextFactory::instance().getPluginContext();
    if (plugIsGlobal_ && context)
        factory_.setHostContext(context);
    return setupPlugin(context);
}

bool PlugProvider::setupPlugin(FUnknown* context) {
    const char* name = info_.name.c_str();
    component_ = factory_.createInstance<IComponent>(info_);
    if (!component_) {
        std::fprintf(stderr, "corvena: could not create the component of \"%s\"\n", name);
        return false;
    }
    if (component_->initialize(context) != kResultOk) {
        std::fprintf(stderr, "corvena: the component of \"%s\" failed to initialise\n", name);
        component_ = nullptr;
        return false;
    }
    componentInitialized_ = true;

    TUID controllerCid{};
    if (component_->getControllerClassId(controllerCid) == kResultTrue &&
        !std::all_of(std::begin(controllerCid), std::end(controllerCid), [](char c) { return c == 0; })) {
        controller_ = factory_.createInstance<IEditController>(controllerCid);
        if (!controller_) {
            std::fprintf(stderr, "corvena: could not create the edit controller of \"%s\"\n", name);
        } else if (controller_->initialize(context) != kResultOk) {
            std::fprintf(stderr, "corvena: the edit controller of \"%s\" failed to initialise\n", name);
            controller_ = nullptr;
            return false;
        } else {
            controllerInitialized_ = true;
            separateController_ = true;
        }
    }
    if (!controller_) {
        // A single-component plug-in is its own controller (already initialised).
        controller_ = queryInterface<IEditController>(component_);
    }

    if (separateController_) {
        if (!connectComponents())
            std::fprintf(stderr, "corvena: could not connect the component and controller of \"%s\"\n", name);
        // Let the controller start from the component's state.
        IPtr<MemoryStream> state(new MemoryStream(), false);
        if (component_->getState(state) == kResultOk) {
            state->rewind();
            controller_->setComponentState(state);
        }
    }
    return true;
}

bool PlugProvider::connectComponents() {
    auto componentCP = queryInterface<IConnectionPoint>(component_);
    auto controllerCP = queryInterface<IConnectionPoint>(controller_);
    if (!componentCP || !controllerCP)
        return false;
    const bool ok = componentCP->connect(controllerCP) == kResultTrue && controllerCP->connect(componentCP) == kResultTrue;
    connected_ = true; // disconnect both ways at teardown even after a half connection
    return ok;
}

void PlugProvider::disconnectComponents() {
    if (!connected_)
        return;
    auto componentCP = queryInterface<IConnectionPoint>(component_);
    auto controllerCP = queryInterface<IConnectionPoint>(controller_);
    if (componentCP && controllerCP) {
        componentCP->disconnect(controllerCP);
        controllerCP->disconnect(componentCP);
    }
    connected_ = false;
}

void PlugProvider::terminatePlugin() {
    disconnectComponents();
    const bool controllerIsComponent = controller_ && component_ && sameObject(controller_, component_);
    if (controllerInitialized_ && controller_ && !controllerIsComponent)
        controller_->terminate();
    controllerInitialized_ = false;
    if (componentInitialized_ && component_)
        component_->terminate();
    componentInitialized_ = false;
    controller_ = nullptr;
    component_ = nullptr;
}

} // namespace corvena
