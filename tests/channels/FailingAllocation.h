#pragma once
// Running out of memory on demand: while a TFailAllocations lives, every
// allocation through the global operator new on its thread raises
// std::bad_alloc. The channel tests' program replaces the global operator
// new for it; ThreadSanitizer keeps its own, so there it does nothing and
// Supported() is false.
namespace kv::test {

class TFailAllocations {
 public:
  TFailAllocations();
  ~TFailAllocations();
  TFailAllocations(const TFailAllocations&) = delete;
  TFailAllocations& operator=(const TFailAllocations&) = delete;

  static bool Supported();
};

}  // namespace kv::test
