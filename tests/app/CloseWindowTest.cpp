// Closing the window: at once outside an update; during one only after the user agrees to stop.
#include <chrono>
#include <thread>

#include "WindowTestKit.h"

namespace midiflash::testing {
namespace {

class CloseWindowTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    wc_->SetStopQuestion([this] {
      ++asked_;
      return answer_;
    });
  }
  void StartRun() {
    Choose(WriteFile("a.dat", FileOfLength(100000)));
    Click("Update");
    timer_->Fire();
    Drain();
  }
  int asked_ = 0;
  bool answer_ = false;
};

TEST_F(CloseWindowTest, OutsideAnUpdateTheWindowClosesWithoutAQuestion) {
  Choose(WriteFile("a.dat", FileOfLength(1000)));
  EXPECT_TRUE(window()->close());
  EXPECT_FALSE(window()->isVisible());
  EXPECT_EQ(asked_, 0);
}

TEST_F(CloseWindowTest, DecliningKeepsTheRunGoing) {
  StartRun();
  answer_ = false;
  EXPECT_FALSE(window()->close());
  EXPECT_EQ(asked_, 1);
  EXPECT_TRUE(window()->isVisible());
  EXPECT_TRUE(timer_->running);
  EXPECT_EQ(Enabled(), Updating());

  // Ticks still play.
  const uint32_t before = wc_->workflow().state().nTotalClock;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  timer_->Fire();
  Drain();
  EXPECT_EQ(Enabled(), Updating());
  EXPECT_GT(wc_->workflow().state().nTotalClock, before);
}

TEST_F(CloseWindowTest, AcceptingCancelsTheRunAndCloses) {
  StartRun();
  answer_ = true;
  EXPECT_TRUE(window()->close());
  EXPECT_EQ(asked_, 1);
  EXPECT_FALSE(window()->isVisible());
  EXPECT_FALSE(timer_->running);
  EXPECT_EQ(timer_->stops, 1);
  EXPECT_EQ(Enabled(), Idle(false));
}

}  // namespace
}  // namespace midiflash::testing
