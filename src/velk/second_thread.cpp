#include "velk/second_thread.h"

#include <system_error>
#include <utility>

namespace velk {

SecondThread::SecondThread(std::function<void()> work) : work_(std::move(work)) {
  try {
    thread_ = std::thread([this] {
      try {
        work_();
      } catch (...) {
        error_ = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: wait() does the work.
  }
}

SecondThread::~SecondThread() {
  if (thread_.joinable()) thread_.join();
}

void SecondThread::wait() {
  if (thread_.joinable()) {
    thread_.join();
    if (error_) std::rethrow_exception(error_);
    return;
  }
  work_();
}

}  // namespace velk
