#pragma once
// Lock rules the compiler checks: clang's thread-safety analysis
// (-Wthread-safety) proves that guarded data is touched only under its lock
// and that functions run with the locks they need. Other compilers see
// nothing: the attributes expand to nothing there.
//
// TMutex and the guards below are std::mutex, std::lock_guard and
// std::unique_lock with the attributes the analysis needs. A condition
// variable waits through TUniqueLock; a predicate that reads guarded data
// says so with REQUIRES on its lambda.
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KV_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define KV_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) KV_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY KV_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) KV_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) KV_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) KV_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KV_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KV_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KV_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KV_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) KV_THREAD_ATTRIBUTE(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KV_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KV_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KV_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define RETURN_CAPABILITY(x) KV_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KV_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace kv {

class CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  // For TUniqueLock's condition-variable waits only.
  std::mutex& Native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// std::lock_guard for any lock with capability attributes.
template <class Lock>
class SCOPED_CAPABILITY TLockGuard {
 public:
  explicit TLockGuard(Lock& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~TLockGuard() RELEASE() { lock_.unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  Lock& lock_;
};
template <class Lock>
TLockGuard(Lock&) -> TLockGuard<Lock>;

// std::shared_lock for any lock with capability attributes.
template <class Lock>
class SCOPED_CAPABILITY TSharedGuard {
 public:
  explicit TSharedGuard(Lock& lock) ACQUIRE_SHARED(lock) : lock_(lock) { lock_.lock_shared(); }
  ~TSharedGuard() RELEASE_GENERIC() { lock_.unlock_shared(); }
  TSharedGuard(const TSharedGuard&) = delete;
  TSharedGuard& operator=(const TSharedGuard&) = delete;

 private:
  Lock& lock_;
};
template <class Lock>
TSharedGuard(Lock&) -> TSharedGuard<Lock>;

// Holds a TMutex for its lifetime and lets a condition variable wait on it
// (the wait releases and retakes the mutex, so the hold counts as unbroken).
class SCOPED_CAPABILITY TUniqueLock {
 public:
  explicit TUniqueLock(TMutex& mutex) ACQUIRE(mutex) : lock_(mutex.Native()) {}
  ~TUniqueLock() RELEASE() {}
  TUniqueLock(const TUniqueLock&) = delete;
  TUniqueLock& operator=(const TUniqueLock&) = delete;

  template <class Predicate>
  void Wait(std::condition_variable& cv, Predicate done) {
    cv.wait(lock_, done);
  }
  template <class Duration, class Predicate>
  bool WaitFor(std::condition_variable& cv, Duration limit, Predicate done) {
    return cv.wait_for(lock_, limit, done);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace kv
