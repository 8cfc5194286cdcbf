#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <chrono>

namespace velmora::desktop::testing {

// Turns the Qt event loop until `condition` holds; false when it still fails after `timeout`
// (generous: only there to end a hang).
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() >= timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

// Turns the event loop for `duration`, for checks that something does not happen.
inline void spin(std::chrono::milliseconds duration) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < duration.count()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
}

}  // namespace velmora::desktop::testing
