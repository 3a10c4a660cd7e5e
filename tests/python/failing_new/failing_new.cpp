// A replacement of the global operator new for the allocation-failure tests, preloaded into a
// Python process (LD_PRELOAD) so that it stands in for the C++ runtime's own. It allocates as
// usual until armed; armed with n, it lets n more allocations through and throws std::bad_alloc
// from the one after, once. Python arms it through ctypes right before calling into the module,
// and the interpreter itself, written in C, never calls operator new, so every allocation
// counted is the module's.
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Allocations to let through before the failure; negative when disarmed.
std::atomic<long> allocations_left{-1};

// Whether this allocation is the one to fail; counts it down when armed.
bool fail_now() {
  long left = allocations_left.load();
  while (left >= 0 && !allocations_left.compare_exchange_weak(left, left - 1)) {
  }
  return left == 0;
}

void* allocate(std::size_t size) {
  if (fail_now()) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

void* allocate_or_null(std::size_t size) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

extern "C" {

// Arms the failure after `count` more allocations; a negative count disarms it.
__attribute__((visibility("default"))) void failing_new_arm(long count) {
  allocations_left.store(count);
}

// The allocations still to go before the failure: negative once it has happened (or when the
// library was never armed).
__attribute__((visibility("default"))) long failing_new_left() { return allocations_left.load(); }

}  // extern "C"

// The runtime's own operator delete frees with std::free, which matches std::malloc here.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate_or_null(size);
}
