#pragma once
// TLockedList: holds the lock of a locked list (anything with LockList and
// UnlockList, such as the channel list) for one scope and gives what
// LockList returned.
#include <utility>

namespace kv {

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
