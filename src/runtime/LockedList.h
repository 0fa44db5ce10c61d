#pragma once
// TLockedList: holds the lock of a locked list (anything with LockList and
// UnlockList, such as the channel list) for one scope and gives what
// LockList returned. The list names its lock through LockCapability, so
// the thread-safety analysis knows the scope holds it.
#include <utility>

#include "runtime/ThreadSafety.h"

namespace kv {

template <class List>
class SCOPED_CAPABILITY TLockedList {
 public:
  using TItems = decltype(std::declval<List&>().LockList());

  explicit TLockedList(List& list) ACQUIRE(list.LockCapability())
      : list_(list), items_(list.LockList()) {}
  TLockedList(const TLockedList&) = delete;
  TLockedList& operator=(const TLockedList&) = delete;
  ~TLockedList() RELEASE() { list_.UnlockList(); }

  TItems Items() const { return items_; }

 private:
  List& list_;
  TItems items_;
};

}  // namespace kv
