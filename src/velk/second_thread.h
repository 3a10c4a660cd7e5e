// Work handed to a second thread while the caller's thread goes on with its own.
#ifndef VELK_SECOND_THREAD_H_
#define VELK_SECOND_THREAD_H_

#include <cstddef>
#include <exception>
#include <functional>
#include <thread>

namespace velk {

// From this many bytes of text on, a pass is worth a second thread: over a megabyte the passes
// take milliseconds, starting a thread tens of microseconds.
constexpr std::size_t kSecondThreadBytes = 256 * 1024;

// Starts `work` on a thread of its own, or, when no thread can be had, runs it in wait().
// Destruction waits for a running thread, so whatever `work` writes must outlive this object.
class SecondThread {
 public:
  explicit SecondThread(std::function<void()> work);
  ~SecondThread();
  SecondThread(const SecondThread&) = delete;
  SecondThread& operator=(const SecondThread&) = delete;

  // Returns once `work` has finished; rethrows what it threw. Call at most once.
  void wait();

 private:
  std::function<void()> work_;
  std::exception_ptr error_;
  std::thread thread_;
};

}  // namespace velk

#endif  // VELK_SECOND_THREAD_H_
