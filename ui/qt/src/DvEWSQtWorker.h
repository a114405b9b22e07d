// Server work for a dialog: jobs run one at a time on a thread of the worker's own, and their
// results (or the failure's message) are handed back on the GUI thread.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace dv::qt::detail {

class Worker {
 public:
  // Results are delivered through `context`'s event loop (the dialog); `onBusy` is told when
  // the worker starts and stops having jobs.
  explicit Worker(QObject* context, std::function<void(bool)> onBusy = {})
      : context_(context), onBusy_(std::move(onBusy)) {
    pool_.setMaxThreadCount(1);  // one job at a time: library objects are used by one thread
    pool_.setExpiryTimeout(-1);
  }
  ~Worker() { Wait(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Waits for every job started; their deliveries are dropped if the context goes away first.
  void Wait() { pool_.waitForDone(); }
  // Waits for every job and its delivery while the application keeps painting (user input is
  // held back), so a dialog closed during a slow request leaves no frozen window behind.
  void Drain() {
    while (pending_ > 0)
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                      QEventLoop::WaitForMoreEvents);
    Wait();
  }
  bool Busy() const { return pending_ > 0; }

  // Runs `job` off the GUI thread, then `done` with its value or `failed` with the message of
  // what it threw, on the GUI thread.
  template <class T>
  void Run(std::function<T()> job, std::function<void(T&)> done,
           std::function<void(const QString&)> failed) {
    if (pending_++ == 0 && onBusy_) onBusy_(true);
    QObject* context = context_;
    pool_.start([this, context, job = std::move(job), done = std::move(done),
                 failed = std::move(failed)]() mutable {
      auto value = std::make_shared<std::optional<T>>();
      QString error;
      try {
        value->emplace(job());
      } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
      } catch (...) {
        error = QStringLiteral("An unknown error occurred.");
      }
      QMetaObject::invokeMethod(
          context,
          [this, value, error, done = std::move(done), failed = std::move(failed)]() mutable {
            if (value->has_value())
              done(**value);
            else
              failed(error);
            if (--pending_ == 0 && onBusy_) onBusy_(false);
          },
          Qt::QueuedConnection);
    });
  }

 private:
  QObject* context_;
  std::function<void(bool)> onBusy_;
  QThreadPool pool_;
  int pending_ = 0;  // GUI thread only
};

}  // namespace dv::qt::detail
