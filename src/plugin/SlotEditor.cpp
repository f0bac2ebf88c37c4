// The plug-in's editor window: opening, closing, the pump and the plug-in frame.
// Everything here runs on the control thread, which thereby is the plug-in's UI thread.
#include "plugin/Frame.h"
#include "plugin/SlotRecord.h"

#include <iostream>
#include <thread>

namespace corvena {

using namespace Steinberg;

namespace {

// The size the window gets when the view reports none.
constexpr int32 kDefaultWidth = 400;
constexpr int32 kDefaultHeight = 300;

Frame* frameOf(const PluginSlot::Record& r) {
    // Only Frame objects are ever stored in editorFrame.
    return static_cast<Frame*>(r.editorFrame.get());
}

// The view and run loop are single-threaded: calls from a plug-in thread of its own
// would race with the pump on the control thread, so they are refused.
bool onControlThread(const std::thread::id& owner, const char* what) {
    if (std::this_thread::get_id() == owner) return true;
    std::cerr << "corvena-audio: plugin called " << what << " off the editor's thread; refused\n";
    return false;
}

} // namespace

// ---- Frame -----------------------------------------------------------------

tresult PLUGIN_API Frame::resizeView(IPlugView* view, ViewRect* newSize) {
    if (!onControlThread(owner_, "resizeView")) return kResultFalse;
    if (!window || !newSize) return kResultFalse;
    window->resize(newSize->right - newSize->left, newSize->bottom - newSize->top);
    if (view) view->onSize(newSize);
    return kResultOk;
}

#if SMTG_OS_LINUX
tresult PLUGIN_API Frame::registerEventHandler(Linux::IEventHandler* handler, Linux::FileDescriptor fd) {
    if (!onControlThread(owner_, "registerEventHandler")) return kResultFalse;
    return runLoop_.registerEventHandler(handler, fd);
}

tresult PLUGIN_API Frame::unregisterEventHandler(Linux::IEventHandler* handler) {
    if (!onControlThread(owner_, "unregisterEventHandler")) return kResultFalse;
    return runLoop_.unregisterEventHandler(handler);
}

tresult PLUGIN_API Frame::registerTimer(Linux::ITimerHandler* handler, Linux::TimerInterval milliseconds) {
    if (!onControlThread(owner_, "registerTimer")) return kResultFalse;
    return runLoop_.registerTimer(handler, milliseconds);
}

tresult PLUGIN_API Frame::unregisterTimer(Linux::ITimerHandler* handler) {
    if (!onControlThread(owner_, "unregisterTimer")) return kResultFalse;
    return runLoop_.unregisterTimer(handler);
}
#endif

tresult PLUGIN_API Frame::queryInterface(const TUID iid, void** obj) {
    if (!obj) return kInvalidArgument;
    if (FUnknownPrivate::iidEqual(iid, IPlugFrame::iid) || FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
        addRef();
        *obj = static_cast<IPlugFrame*>(this);
        return kResultOk;
    }
#if SMTG_OS_LINUX
    if (FUnknownPrivate::iidEqual(iid, Linux::IRunLoop::iid)) {
        addRef();
        *obj = static_cast<Linux::IRunLoop*>(this);
        return kResultOk;
    }
#endif
    *obj = nullptr;
    return kNoInterface;
}

uint32 PLUGIN_API Frame::addRef() { return ++refCount_; }

uint32 PLUGIN_API Frame::release() {
    uint32 left = --refCount_;
    if (left == 0) delete this;
    return left;
}

void Frame::detach() {
    window = nullptr;
#if SMTG_OS_LINUX
    runLoop_.clear();
#endif
}

// ---- PluginSlot: editor operations -------------------------------------------

bool PluginSlot::openEditor(std::string& error) {
    Record& r = *record_;
    if (!r.controller) {
        error = "no plugin loaded";
        return false;
    }
    if (r.editorWindow) {
        r.editorWindow->show();
        return true;
    }

    r.editorView = owned(r.controller->createView(Vst::ViewType::kEditor));
    if (!r.editorView || r.editorView->isPlatformTypeSupported(PlatformWindow::platformType()) != kResultTrue) {
        r.editorView = nullptr;
        error = "this plugin has no editor";
        return false;
    }

    ViewRect rect;
    r.editorView->getSize(&rect);
    // An empty (or inverted) size gets the default window.
    int32 width = rect.right - rect.left;
    int32 height = rect.bottom - rect.top;
    if (width <= 0) width = kDefaultWidth;
    if (height <= 0) height = kDefaultHeight;

    r.editorWindow = PlatformWindow::create(width, height, error);
    if (!r.editorWindow) {
        r.editorView = nullptr;
        return false;
    }

    auto* frame = new Frame(r.editorWindow.get());
    r.editorFrame = owned(static_cast<IPlugFrame*>(frame));
    // The frame first: Linux views look for the run loop while attaching.
    r.editorView->setFrame(frame);
    if (r.editorView->attached(r.editorWindow->nativeHandle(), PlatformWindow::platformType()) == kResultOk) {
        // Some views know their size only once attached and never ask for it.
        ViewRect attachedRect;
        if (r.editorView->getSize(&attachedRect) == kResultOk && attachedRect.getWidth() > 0 && attachedRect.getHeight() > 0 &&
            (attachedRect.getWidth() != width || attachedRect.getHeight() != height)) {
            r.editorWindow->resize(attachedRect.getWidth(), attachedRect.getHeight());
            r.editorView->onSize(&attachedRect);
        }
        r.editorWindow->show();
        return true;
    }

    r.editorView->setFrame(nullptr);
    r.editorView = nullptr;
    // Whatever the view registered before refusing is dropped with the frame.
    frame->detach();
    r.editorFrame = nullptr;
    r.editorWindow.reset();
    error = "the plugin refused to attach its editor";
    return false;
}

void PluginSlot::closeEditor() {
    Record& r = *record_;
    if (!r.editorWindow) return;
    if (r.editorView) {
        r.editorView->removed();
        r.editorView->setFrame(nullptr);
    }
    r.editorView = nullptr;
    // A view that forgot to unregister its timers or handlers loses them here,
    // while its module is still loaded; a view that kept the frame finds no window.
    if (Frame* frame = frameOf(r)) frame->detach();
    r.editorFrame = nullptr;
    r.editorWindow.reset();
}

void PluginSlot::pumpEditor() {
    Record& r = *record_;
    if (!r.editorWindow) return;
    r.editorWindow->pumpEvents();
#if SMTG_OS_LINUX
    // The view's own X connection and timers are served through the run loop.
    if (r.editorFrame) {
        IPtr<IPlugFrame> keep = r.editorFrame; // a callback may not pull it away mid-service
        static_cast<Frame*>(keep.get())->runLoop().service();
    }
#endif
    if (r.editorWindow && r.editorWindow->closeRequested()) closeEditor();
}

bool PluginSlot::isEditorOpen() const { return record_->editorWindow != nullptr; }

bool PluginSlot::editorSize(int32_t& width, int32_t& height) const {
    const Record& r = *record_;
    ViewRect rect;
    if (!r.editorWindow || !r.editorView || r.editorView->getSize(&rect) != kResultOk) return false;
    width = rect.right - rect.left;
    height = rect.bottom - rect.top;
    return true;
}

} // namespace corvena
