#include "FailingAllocation.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define KV_KEEP_OPERATOR_NEW 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KV_KEEP_OPERATOR_NEW 1
#endif
#endif

namespace {
thread_local bool failing = false;
}  // namespace

#ifndef KV_KEEP_OPERATOR_NEW
// Every form that allocates with malloc, so that each delete meets its own
// new (the aligned forms stay the runtime's, in pairs).
void* operator new(std::size_t size) {
  if (failing) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return failing ? nullptr : std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#endif

namespace kv::test {

TFailAllocations::TFailAllocations() { failing = true; }
TFailAllocations::~TFailAllocations() { failing = false; }

bool TFailAllocations::Supported() {
#ifdef KV_KEEP_OPERATOR_NEW
  return false;
#else
  return true;
#endif
}

}  // namespace kv::test
