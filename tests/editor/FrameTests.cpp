// The plug-in frame on its own, with a window and a view that only record calls.
#include "plugin/Frame.h"
#include "TestHandlers.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Steinberg;
using corvena::Frame;
using corvena::PlatformWindow;

namespace {

class RecordingWindow : public PlatformWindow {
public:
    void* nativeHandle() const override { return nullptr; }
    void resize(int32_t w, int32_t h) override { sizes.emplace_back(w, h); }
    void show() override {}
    void pumpEvents() override {}
    bool closeRequested() const override { return false; }
    std::vector<std::pair<int32_t, int32_t>> sizes;
};

class RecordingView : public corvena::test::CountedHandler<IPlugView> {
public:
    tresult PLUGIN_API isPlatformTypeSupported(FIDString) override { return kResultTrue; }
    tresult PLUGIN_API attached(void*, FIDString) override { return kResultOk; }
    tresult PLUGIN_API removed() override { return kResultOk; }
    tresult PLUGIN_API onWheel(float) override { return kResultFalse; }
    tresult PLUGIN_API onKeyDown(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API onKeyUp(char16, int16, int16) override { return kResultFalse; }
    tresult PLUGIN_API getSize(ViewRect*) override { return kResultFalse; }
    tresult PLUGIN_API onSize(ViewRect* r) override {
        sizes.push_back(*r);
        return kResultOk;
    }
    tresult PLUGIN_API onFocus(TBool) override { return kResultOk; }
    tresult PLUGIN_API setFrame(IPlugFrame*) override { return kResultOk; }
    tresult PLUGIN_API canResize() override { return kResultFalse; }
    tresult PLUGIN_API checkSizeConstraint(ViewRect*) override { return kResultOk; }
    std::vector<ViewRect> sizes;
};

// Frames are only ever held through references; the slot's reference is the first.
struct FrameRef {
    explicit FrameRef(PlatformWindow* w) : frame(new Frame(w)) {}
    ~FrameRef() { frame->release(); }
    Frame* operator->() { return frame; }
    Frame* frame;
};

} // namespace

TEST(Frame, AnswersThePlugFrameAndTheRunLoop) {
    RecordingWindow window;
    FrameRef frame(&window);
    void* obj = nullptr;
    ASSERT_EQ(frame->queryInterface(IPlugFrame::iid, &obj), kResultOk);
    EXPECT_EQ(obj, static_cast<IPlugFrame*>(frame.frame));
    static_cast<FUnknown*>(static_cast<IPlugFrame*>(obj))->release();

    // This is how a Linux view finds the host's run loop.
    IPtr<Linux::IRunLoop> loop = FUnknownPtr<Linux::IRunLoop>(static_cast<IPlugFrame*>(frame.frame));
    ASSERT_TRUE(loop);
    corvena::test::TestTimer timer;
    EXPECT_EQ(loop->registerTimer(&timer, 0), kResultTrue);
    frame->runLoop().service();
    EXPECT_EQ(timer.calls, 1);
    EXPECT_EQ(loop->unregisterTimer(&timer), kResultTrue);
    loop = nullptr;

    obj = reinterpret_cast<void*>(1);
    EXPECT_EQ(frame->queryInterface(IPlugView::iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(frame->queryInterface(IPlugFrame::iid, nullptr), kInvalidArgument);
}

TEST(Frame, ResizeViewResizesTheWindowThenTellsTheView) {
    RecordingWindow window;
    FrameRef frame(&window);
    RecordingView view;
    ViewRect rect(10, 20, 650, 500);
    EXPECT_EQ(frame->resizeView(&view, &rect), kResultOk);
    ASSERT_EQ(window.sizes.size(), 1u);
    EXPECT_EQ(window.sizes[0], std::make_pair(640, 480));
    ASSERT_EQ(view.sizes.size(), 1u);
    EXPECT_EQ(view.sizes[0].right, 650);

    // Without a view only the window changes.
    ViewRect small(0, 0, 200, 100);
    EXPECT_EQ(frame->resizeView(nullptr, &small), kResultOk);
    EXPECT_EQ(window.sizes.back(), std::make_pair(200, 100));
    EXPECT_EQ(view.sizes.size(), 1u);

    EXPECT_EQ(frame->resizeView(&view, nullptr), kResultFalse);
    EXPECT_EQ(window.sizes.size(), 2u);
}

TEST(Frame, DetachedFrameReachesNoWindowAndHoldsNoHandler) {
    // A view may keep its frame past the editor's close; the window is gone then.
    RecordingWindow window;
    FrameRef frame(&window);
    corvena::test::TestTimer timer;
    frame->registerTimer(&timer, 10);
    EXPECT_EQ(timer.refs, 2u);
    frame->detach();
    EXPECT_EQ(timer.refs, 1u);
    RecordingView view;
    ViewRect rect(0, 0, 300, 300);
    EXPECT_EQ(frame->resizeView(&view, &rect), kResultFalse);
    EXPECT_TRUE(window.sizes.empty());
    EXPECT_TRUE(view.sizes.empty());
}

TEST(Frame, RefusesCallsFromAnotherThread) {
    // The run loop and the window belong to the control thread; a plug-in thread
    // calling in would race with the pump.
    RecordingWindow window;
    FrameRef frame(&window);
    corvena::test::TestTimer timer;
    tresult timerResult = kResultOk, resizeResult = kResultOk;
    std::thread other([&] {
        timerResult = frame->registerTimer(&timer, 10);
        ViewRect rect(0, 0, 10, 10);
        resizeResult = frame->resizeView(nullptr, &rect);
    });
    other.join();
    EXPECT_EQ(timerResult, kResultFalse);
    EXPECT_EQ(resizeResult, kResultFalse);
    EXPECT_EQ(frame->runLoop().timerCount(), 0u);
    EXPECT_TRUE(window.sizes.empty());
}
