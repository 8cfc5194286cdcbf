#include "app/headless_view.h"

#include <gtest/gtest.h>

namespace velmora::app {
namespace {

std::string printed(void (*work)(HeadlessView&)) {
  HeadlessView view;
  ::testing::internal::CaptureStdout();
  work(view);
  return ::testing::internal::GetCapturedStdout();
}

TEST(HeadlessViewTest, MonitorPrintsEveryLineOfEveryText) {
  EXPECT_EQ(
      printed([](HeadlessView& view) {
        view.monitor.setText("Ready");
        view.monitor.setText("New model is selected.\nServer is running on http://h:0\nModel: m");
        view.monitor.setText("");
        view.monitor.setText("ends with a break\n");
      }),
      "monitor: Ready\n"
      "monitor: New model is selected.\n"
      "monitor: Server is running on http://h:0\n"
      "monitor: Model: m\n"
      "monitor: \n"
      "monitor: ends with a break\n"
      "monitor: \n");
}

TEST(HeadlessViewTest, ControlCharactersCannotReachTheTerminal) {
  EXPECT_EQ(printed([](HeadlessView& view) {
              view.monitor.setText("User: \x1b[2Jgone\rback\ttab\x7f");
              view.setModel.addItems({"a\x1b]0;title\x07", "b"});
            }),
            "monitor: User: \\x1B[2Jgone\\x0Dback\ttab\\x7F\n"
            "models: a\\x1B]0;title\\x07, b\n");
}

TEST(HeadlessViewTest, ControlsKeepTheirValues) {
  HeadlessView view;
  ::testing::internal::CaptureStdout();
  view.monitor.setText("x");
  view.setModel.addItems({"a", "b", "a"});
  EXPECT_TRUE(view.setModel.selectItemWithTitle("a"));
  EXPECT_FALSE(view.setModel.selectItemWithTitle("c"));
  EXPECT_EQ(view.setModel.titleOfSelectedItem(), std::optional<std::string>("a"));
  view.setModel.removeAllItems();
  view.setModel.addItems({});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "monitor: x\nmodels: a, b, a\nmodels: (none)\n");
  EXPECT_EQ(view.monitor.text(), "x");
  EXPECT_EQ(view.setModel.titleOfSelectedItem(), std::nullopt);
  view.tempBar.setEnabled(false);
  EXPECT_FALSE(view.tempBar.isEnabled());
  view.mainButton.setTitle("Stop Server");
  EXPECT_EQ(view.mainButton.title(), "Stop Server");
}

}  // namespace
}  // namespace velmora::app
