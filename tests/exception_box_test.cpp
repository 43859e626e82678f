#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ExceptionBox.h"
#include "platform/MessageBox.h"

namespace {
// Stands for the modal box: while it is "open" the timer keeps firing, so
// ticks can fail again inside it.
class NestingPresenter : public IMessagePresenter {
public:
  void ShowError(const std::string& caption, const std::string& text) override {
    shown.push_back(caption + "|" + text);
    if (whileOpen) {
      auto action = std::move(whileOpen);
      whileOpen = nullptr;
      action();
    }
  }
  void ShowInfo(const std::string&, const std::string&) override {}
  std::vector<std::string> shown;
  std::function<void()> whileOpen;
};

class ExceptionBoxTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetApplicationTitle("防犯カメラ・ヴァルド");
    InstallMessagePresenter(&presenter);
  }
  void TearDown() override { InstallMessagePresenter(nullptr); }
  NestingPresenter presenter;
};

TEST_F(ExceptionBoxTest, ErrorsWhileTheBoxIsOpenAreNotStacked) {
  presenter.whileOpen = [] {
    for (int i = 0; i < 3; ++i) RunGuarded([] { throw std::runtime_error("later"); });
  };
  RunGuarded([] { throw std::runtime_error("-ERR first"); });
  ASSERT_EQ(presenter.shown.size(), 1u);
  EXPECT_EQ(presenter.shown[0], "防犯カメラ・ヴァルド|-ERR first");
  // Once it is closed the next error gets its box.
  RunGuarded([] { throw std::logic_error("next"); });
  EXPECT_EQ(presenter.shown.size(), 2u);
}

TEST_F(ExceptionBoxTest, NonExceptionThrowShowsAnEmptyMessage) {
  RunGuarded([] { throw 42; });
  ASSERT_EQ(presenter.shown.size(), 1u);
  EXPECT_EQ(presenter.shown[0], "防犯カメラ・ヴァルド|");
}
} // namespace
