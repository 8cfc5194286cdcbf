// The desktop tests' main: one QApplication for every test, on Qt's offscreen platform, so that
// the tests never need (or open windows on) a display.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QtGlobal>
#include <filesystem>
#include <string>

namespace {

QtMessageHandler qtDefaultHandler = nullptr;

// The offscreen platform says so for every window shown; nothing to learn from it.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains(QStringLiteral("does not support propagateSizeHints"))) return;
  qtDefaultHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // No desktop's session bus: only the private buses the tests start.
  qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/velmora-test-no-bus");
  std::string runtime = (std::filesystem::temp_directory_path() / "velmora-qt-XXXXXX").string();
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && ::mkdtemp(runtime.data()) != nullptr) {
    qputenv("XDG_RUNTIME_DIR", runtime.c_str());
  }
  qtDefaultHandler = qInstallMessageHandler(quietHandler);
  ::testing::InitGoogleTest(&argc, argv);
  int status = 0;
  {
    QApplication application(argc, argv);
    status = RUN_ALL_TESTS();
  }
  if (qgetenv("XDG_RUNTIME_DIR").toStdString() == runtime) {
    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
  }
  return status;
}
