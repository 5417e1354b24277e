#include "platform/progress_window.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "platform/qt_main_thread.h"
#include "platform/qt_test_app.h"

namespace halvorn::platform {
namespace {

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureQtApplication(); }
};

TEST_F(ProgressWindowTest, ProgressWindowStepsWrapsAndResets) {
  TProgressFrm progress(nullptr, false);
  EXPECT_EQ(progress.windowTitle().toStdString(), "Progress");
  EXPECT_EQ(progress.Label1()->text().toStdString(), "Progress");
  EXPECT_TRUE(progress.Timer1()->isActive());
  EXPECT_EQ(progress.Timer1()->interval(), 100);
  progress.ProgressBar1()->setValue(96);
  progress.TimerTick();
  EXPECT_EQ(progress.ProgressBar1()->value(), 98);
  progress.TimerTick();
  EXPECT_EQ(progress.ProgressBar1()->value(), 100);
  progress.TimerTick();
  EXPECT_EQ(progress.ProgressBar1()->value(), 2) << "wraps past the maximum";
  progress.ResetProgress();
  EXPECT_EQ(progress.ProgressBar1()->value(), 0);
  EXPECT_FALSE(progress.Timer1()->isActive());
}

TEST_F(ProgressWindowTest, SetProgressShowsTextAndPositionUnlessTerminating) {
  TProgressFrm progress(nullptr, false);
  EXPECT_FALSE(progress.SetProgress("Loading", 3, 10));
  EXPECT_EQ(progress.Label1()->text().toStdString(), "Loading");
  EXPECT_EQ(progress.ProgressBar1()->maximum(), 10);
  EXPECT_EQ(progress.ProgressBar1()->value(), 3);
  // A negative number leaves the bar alone.
  EXPECT_FALSE(progress.SetProgress("Still loading", -1, 50));
  EXPECT_EQ(progress.ProgressBar1()->maximum(), 10);
  EXPECT_EQ(progress.Label1()->text().toStdString(), "Still loading");

  SetApplicationTerminating(true);
  EXPECT_TRUE(progress.SetProgress("Ignored", 9, 10));
  SetApplicationTerminating(false);
  EXPECT_EQ(progress.Label1()->text().toStdString(), "Still loading");
  EXPECT_EQ(progress.ProgressBar1()->value(), 3);
}

TEST_F(ProgressWindowTest, ProgressWindowDisablesOnlyOtherEnabledWindowsWhileItLives) {
  QWidget enabled;
  QWidget alreadyDisabled;
  alreadyDisabled.setEnabled(false);
  {
    TProgressFrm progress(&enabled, true);
    EXPECT_FALSE(enabled.isEnabled());
    EXPECT_TRUE(progress.isEnabled());
  }
  EXPECT_TRUE(enabled.isEnabled());
  EXPECT_FALSE(alreadyDisabled.isEnabled()) << "a window disabled before stays disabled";
  {
    TProgressFrm progress(nullptr, false);
    EXPECT_TRUE(enabled.isEnabled());
  }
}

}  // namespace
}  // namespace halvorn::platform
