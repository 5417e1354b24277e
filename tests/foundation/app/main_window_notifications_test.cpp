#include "foundation/app/main_window_notifications.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt_test_app.h"
#include "platform/qt_window_messages.h"
#include "platform/single_instance.h"
#include "support/test_support.h"

namespace halvorn {
namespace {

using platform::WindowMessageEvent;

struct Posted {
  std::uint32_t Msg;
  TMessageParam WParam;
  TMessageParam LParam;
  bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Posted& p) {
  return out << std::hex << "{0x" << p.Msg << ", 0x" << p.WParam << ", 0x" << p.LParam << "}"
             << std::dec;
}

// Stands in for the main window: records every message posted to it, and
// the texts they carry (taking them over when asked to).
class Recorder : public QObject {
 public:
  bool TakeTexts = false;
  std::vector<Posted> Messages;
  std::vector<std::string> Texts;
  std::vector<bool> LParamIsText;

  bool event(QEvent* event) override {
    if (event->type() != WindowMessageEvent::EventType()) return QObject::event(event);
    auto* message = static_cast<WindowMessageEvent*>(event);
    Messages.push_back({message->Msg(), message->WParam(), message->LParam()});
    if (const std::string* text = message->Text()) {
      LParamIsText.push_back(reinterpret_cast<TMessageParam>(text->c_str()) == message->LParam());
      Texts.push_back(*text);
      if (TakeTexts) {
        std::unique_ptr<std::string> taken = message->TakeText();
        EXPECT_NE(taken, nullptr);
      }
    }
    return true;
  }
};

class NotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureQtApplication();
    FRecorder = std::make_unique<Recorder>();
    FWindow = platform::RegisterWindow(FRecorder.get(), kMainFormClassName);
    SetMainWindowHandle(FWindow);
  }
  void TearDown() override {
    SetMainWindowHandle(0);
    platform::UnregisterWindow(FWindow);
  }
  // Delivers what was posted and answers it.
  const std::vector<Posted>& Delivered() {
    QCoreApplication::sendPostedEvents(FRecorder.get());
    return FRecorder->Messages;
  }

  std::unique_ptr<Recorder> FRecorder;
  TWindowHandle FWindow = 0;
};

TEST_F(NotificationsTest, EachPosterPostsExactlyItsMessages) {
  auto* queue = reinterpret_cast<const TEmailMsgList*>(std::uintptr_t{0x1234560});
  struct Row {
    const char* Name;
    std::function<void()> Post;
    std::vector<Posted> Expected;
  };
  const Row rows[] = {
      {"raw post", [] { PostToMainWindow(0x480, 7, 9); }, {{0x480, 7, 9}}},
      {"bare post", [] { PostMainMessage(WM_REFRESH_ACCOUNTS); }, {{0x47A, 0, 0}}},
      {"kind 0 thrice", [] { PostStatus(0); }, {{0x464, 0, 0}, {0x464, 0, 0}, {0x464, 0, 0}}},
      {"kind 2 once", [] { PostStatus(2); }, {{0x464, 2, 0}}},
      {"kind 10 refused", [] { PostStatus(10); }, {}},
      {"kind 11 refused", [] { PostStatus(11); }, {}},
      {"numbers packed", [] { PostStatusNumbers(10, 3, 17); }, {{0x464, 10, 3 | (17u << 16)}}},
      {"65535 still fits", [] { PostStatusNumbers(11, 65535, 65535); }, {{0x464, 11, 0xFFFFFFFFu}}},
      {"70000 refused", [] { PostStatusNumbers(10, 70000, 1); }, {}},
      {"second 65536 refused", [] { PostStatusNumbers(10, 1, 65536); }, {}},
      {"negative by low bits",
       [] { PostStatusNumbers(10, -1, 2); },
       {{0x464, 10, 0xFFFF | (2u << 16)}}},
      {"numbers kind 9 refused", [] { PostStatusNumbers(9, 1, 2); }, {}},
      {"numbers kind 12 refused", [] { PostStatusNumbers(12, 1, 2); }, {}},
      {"empty text refused", [] { PostStatusText(""); }, {}},
      {"progress kind low 7 bits", [] { PostProgressKind(0x85); }, {{0x465, 5, 0}}},
      {"1 of 3 is 33", [] { PostProgressPercent(1, 3); }, {{0x465, 14 | (33u << 16), 0}}},
      {"all done is 100", [] { PostProgressPercent(7, 7); }, {{0x465, 14 | (100u << 16), 0}}},
      {"zero total refused", [] { PostProgressPercent(1, 0); }, {}},
      {"negative total refused", [] { PostProgressPercent(1, -5); }, {}},
      {"more than total kept at 100",
       [] { PostProgressPercent(2000000000, 1); },
       {{0x465, 14 | (100u << 16), 0}}},
      {"negative done kept at 0", [] { PostProgressPercent(-3, 10); }, {{0x465, 14, 0}}},
      {"queue changed", [queue] { PostMsgListChanged(queue, 0xAB); }, {{0x471, 0x1234560, 0xAB}}},
      {"by class", [] { PostToMainFormByClass(WM_RESTORE_WINDOW); }, {{0x492, 0, 0}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    FRecorder->Messages.clear();
    row.Post();
    EXPECT_EQ(Delivered(), row.Expected);
  }
}

TEST_F(NotificationsTest, NothingButPostByClassReachesAWindowWithoutAStoredHandle) {
  SetMainWindowHandle(0);
  PostToMainWindow(0x480, 1, 2);
  PostMainMessage(WM_QUEUE_CHANGED);
  PostStatus(0);
  PostStatusNumbers(10, 1, 2);
  PostStatusText("mailbox");
  PostProgressKind(1);
  PostProgressPercent(1, 2);
  PostMsgListChanged(nullptr, 1);
  EXPECT_TRUE(Delivered().empty());
  PostToMainFormByClass(WM_RESTORE_WINDOW);
  EXPECT_EQ(Delivered(), (std::vector<Posted>{{WM_RESTORE_WINDOW, 0, 0}}));
}

TEST_F(NotificationsTest, PostsToAWindowThatIsGoneAreDropped) {
  platform::UnregisterWindow(FWindow);
  PostStatus(2);
  PostStatusText("lost, and freed");
  EXPECT_FALSE(platform::PostWindowMessage(FWindow, 0x480, 0, 0));
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(NotificationsTest, StatusTextTravelsInLParamAndIsOwnedByThePost) {
  FRecorder->TakeTexts = true;
  PostStatusText("user@pop.example.org");
  ASSERT_EQ(Delivered().size(), 1u);
  EXPECT_EQ(Delivered()[0].Msg, WM_POP_STATUS);
  EXPECT_EQ(Delivered()[0].WParam, 1u);
  EXPECT_EQ(FRecorder->Texts, std::vector<std::string>{"user@pop.example.org"});
  EXPECT_EQ(FRecorder->LParamIsText, std::vector<bool>{true});

  // Posts that are never handled: the receiver goes with the texts still
  // queued. The leak checker of the sanitizer build fails the run if the
  // texts are not freed with their events.
  FRecorder->TakeTexts = false;
  PostStatusText("never handled 1");
  PostStatusText("never handled 2");
  platform::UnregisterWindow(FWindow);
  FRecorder.reset();
}

TEST_F(NotificationsTest, PostsFromManyThreadsAllArrive) {
  constexpr int kThreads = 4;
  constexpr int kEach = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) PostToMainWindow(0x480, t, i);
    });
  for (std::thread& thread : threads) thread.join();
  const std::vector<Posted>& delivered = Delivered();
  ASSERT_EQ(delivered.size(), static_cast<std::size_t>(kThreads * kEach));
  // Each thread's posts arrive in the order it made them.
  std::vector<TMessageParam> next(kThreads, 0);
  for (const Posted& p : delivered) {
    ASSERT_LT(p.WParam, static_cast<TMessageParam>(kThreads));
    EXPECT_EQ(p.LParam, next[p.WParam]++);
  }
}

TEST_F(NotificationsTest, MessageWindowHandsPostsToItsHandler) {
  std::vector<Posted> seen;
  platform::WindowHandle window = platform::CreateMessageWindow(
      [&seen](std::uint32_t msg, platform::MessageParam w, platform::MessageParam l) {
        seen.push_back({msg, w, l});
      });
  ASSERT_NE(window, 0u);
  EXPECT_EQ(platform::FindWindowByClass("STATIC"), window);
  EXPECT_TRUE(platform::PostWindowMessage(window, 0x500, 1, 2));
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(seen, (std::vector<Posted>{{0x500, 1, 2}}));
  // Destroying it with a message still queued frees that message unhandled.
  EXPECT_TRUE(platform::PostWindowMessage(window, 0x501, 0, 0));
  platform::DestroyMessageWindow(window);
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_FALSE(platform::PostWindowMessage(window, 0x502, 0, 0));
  // The bare form made by the notification module is owned the same way.
  TWindowHandle bare = CreateMsgWindow();
  EXPECT_NE(bare, 0u);
  DestroyMsgWindow(bare);
}

TEST_F(NotificationsTest, SecondProcessDeliversItsRestoreRequestToTheFirstAndEnds) {
  // A short private runtime folder: under a long build path the socket name
  // would not fit, the guard would fall back to /tmp, and a test running at
  // the same moment would meet this one's instance there.
  const test::TempFolder runtime = test::TempFolder::ForSockets();
  test::ScopedEnv env("XDG_RUNTIME_DIR", runtime.Path());
  platform::SingleInstanceGuard guard(SingleInstanceName("Halvorn"));
  ASSERT_TRUE(guard.Acquire()) << guard.ErrorText();
  ASSERT_GE(guard.ServerDescriptor(), 0) << guard.ErrorText();

  QProcess second;
  second.start(QString::fromUtf8(HALVORN_SECOND_INSTANCE_HELPER), {});
  ASSERT_TRUE(second.waitForStarted(10000));
  bool ended = test::RunEventsUntil(
      [&] {
        QCoreApplication::sendPostedEvents(FRecorder.get());
        return second.state() == QProcess::NotRunning && !FRecorder->Messages.empty();
      },
      20000);
  EXPECT_TRUE(ended);
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0) << "1: the second process found no first instance";
  EXPECT_EQ(FRecorder->Messages, (std::vector<Posted>{{WM_RESTORE_WINDOW, 0, 0}}));
  if (second.state() != QProcess::NotRunning) {
    second.kill();
    second.waitForFinished(5000);
  }
}

TEST_F(NotificationsTest, SecondProcessWithoutAFirstBecomesTheFirst) {
  const test::TempFolder runtime = test::TempFolder::ForSockets();
  test::ScopedEnv env("XDG_RUNTIME_DIR", runtime.Path());
  QProcess lone;
  lone.start(QString::fromUtf8(HALVORN_SECOND_INSTANCE_HELPER), {});
  ASSERT_TRUE(lone.waitForFinished(20000));
  EXPECT_EQ(lone.exitCode(), 1);
  EXPECT_TRUE(Delivered().empty());
}

TEST(SingleInstanceNameTest, CarriesTitleUserAndInstallKey) {
  std::string name = SingleInstanceName("Halvorn");
  EXPECT_EQ(name.rfind("Halvorn-", 0), 0u) << name;
  EXPECT_EQ(name.size() - name.rfind('-') - 1, 12u) << name;
}

}  // namespace
}  // namespace halvorn
