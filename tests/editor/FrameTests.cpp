// The plug-in frame on its own, with a window that only records its sizes. (Its
// run loop serving a view and views told their new size: editor_slot_tests.)
#include "plugin/Frame.h"
#include "TestHandlers.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Steinberg;
using corvena::Frame;

namespace {

class RecordingWindow : public corvena::PlatformWindow {
public:
    void* nativeHandle() const override { return nullptr; }
    void resize(int32_t w, int32_t h) override { sizes.emplace_back(w, h); }
    void show() override {}
    void pumpEvents() override {}
    bool closeRequested() const override { return false; }
    std::vector<std::pair<int32_t, int32_t>> sizes;
};

// Frames are only ever held through references; the slot's reference is the first.
struct FrameTest : ::testing::Test {
    ~FrameTest() override { frame->release(); }
    RecordingWindow window;
    Frame* frame = new Frame(&window);
    corvena::test::TestHandler timer;
};

} // namespace

TEST_F(FrameTest, DetachedOrFromAnotherThreadReachesNoWindowAndHoldsNoHandler) {
    // The run loop and the window belong to the control thread; a plug-in thread
    // calling in would race with the pump.
    tresult timerResult = kResultOk, resizeResult = kResultOk;
    std::thread([&] {
        timerResult = frame->registerTimer(&timer, 10);
        ViewRect rect(0, 0, 10, 10);
        resizeResult = frame->resizeView(nullptr, &rect);
    }).join();
    EXPECT_EQ(timerResult, kResultFalse);
    EXPECT_EQ(resizeResult, kResultFalse);
    EXPECT_EQ(frame->runLoop().timerCount(), 0u);

    // A view may keep its frame past the editor's close; the window is gone then.
    frame->registerTimer(&timer, 10);
    EXPECT_EQ(timer.refs, 2u);
    frame->detach();
    EXPECT_EQ(timer.refs, 1u);
    ViewRect rect(0, 0, 300, 300);
    EXPECT_EQ(frame->resizeView(nullptr, &rect), kResultFalse);
    EXPECT_TRUE(window.sizes.empty());
}
