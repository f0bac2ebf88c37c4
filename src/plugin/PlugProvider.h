#pragma once
#include "plugin/Module.h"

#include "pluginterfaces/base/funknown.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

namespace corvena {

// The process-wide context handed to every plug-in (the host application).
class PluginContextFactory {
public:
    static PluginContextFactory& instance();
    void setPluginContext(Steinberg::FUnknown* context) { context_ = context; }
    Steinberg::FUnknown* getPluginContext() const { return context_; }

private:
    Steinberg::FUnknown* context_ = nullptr;
};

// Creates one class's component and edit controller, initialises them with the
// plug-in context, connects them both ways and hands the component's state to
// the controller. Destruction undoes all of it in reverse order.
// Diagnostics go to stderr.
class PlugProvider {
public:
    PlugProvider(const PluginFactory& factory, ClassInfo info, bool plugIsGlobal = true);
    ~PlugProvider();
    PlugProvider(const PlugProvider&) = delete;
    PlugProvider& operator=(const PlugProvider&) = delete;

    bool initialize();

    Steinberg::IPtr<Steinberg::Vst::IComponent> getComponent() const { return component_; }
    Steinberg::IPtr<Steinberg::Vst::IEditController> getController() const { return controller_; }
    const ClassInfo& classInfo() const { return info_; }

private:
    bool setupPlugin(Steinberg::FUnknown* context);
    bool connectComponents();
    void disconnectComponents();
    void terminatePlugin();

    PluginFactory factory_;
    ClassInfo info_;
    bool plugIsGlobal_;
    Steinberg::IPtr<Steinberg::Vst::IComponent> component_;
    Steinberg::IPtr<Steinberg::Vst::IEditController> controller_;
    bool componentInitialized_ = false;
    bool controllerInitialized_ = false;
    bool separateController_ = false;
    bool connected_ = false;
};

} // namespace corvena
