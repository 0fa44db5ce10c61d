#pragma once
// The class library's locked list: a list of owned objects guarded by one
// re-entrant lock. LockList enters the lock and hands out the inner list;
// UnlockList leaves it. The thread that holds the lock may enter it again
// (and must leave it as often), so an operation of a derived list may call
// other operations of the same list while its caller already holds the lock.
//
// Ownership: the list owns its objects (std::unique_ptr) and frees them when
// it is cleared or destroyed.
// Lock: lock_ guards list_ and whatever a derived class declares guarded by
// it; nothing else is touched without it.
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kv {

template <class T>
class TThreadList {
 public:
  using TList = std::vector<std::unique_ptr<T>>;

  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;
  virtual ~TThreadList() = default;

  // Enters the lock; the inner list may be used until the matching UnlockList.
  TList& LockList() {
    lock_.lock();
    return list_;
  }
  void UnlockList() { lock_.unlock(); }

 protected:
  // For derived classes: the lock itself (for std::lock_guard) and the inner
  // list, which they may only use while holding the lock.
  std::recursive_mutex& Mutex() const { return lock_; }
  TList& Items() { return list_; }
  const TList& Items() const { return list_; }

 private:
  mutable std::recursive_mutex lock_;
  TList list_;
};

// Holds the lock of a list (anything with LockList/UnlockList) for one scope
// and gives the inner list that LockList returned.
template <class List>
class TLockedList {
 public:
  using TItems = decltype(std::declval<List&>().LockList());

  explicit TLockedList(List& list) : list_(list), items_(list.LockList()) {}
  TLockedList(const TLockedList&) = delete;
  TLockedList& operator=(const TLockedList&) = delete;
  ~TLockedList() { list_.UnlockList(); }

  TItems Items() const { return items_; }

 private:
  List& list_;
  TItems items_;
};

}  // namespace kv
