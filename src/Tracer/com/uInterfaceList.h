// Thread-safe list of counted interface references: every single operation takes the list's
// own lock, so readers on one thread and a writer on another never see a torn list. Nothing
// locks a sequence of operations.
#pragma once
#include <mutex>
#include <vector>
#include "Tracer/com/uAutoObject.h"
#include "lib/rtl/SysUtils.h"

template <class I>
class TInterfaceList {
public:
  using Ptr = TComPtr<I>;

  int Count() const {
    std::lock_guard<std::mutex> guard(FLock);
    return static_cast<int>(FItems.size());
  }
  // The item at Index (a further reference); "List index out of bounds (%d)" outside the list.
  Ptr Get(int index) const {
    std::lock_guard<std::mutex> guard(FLock);
    if (index < 0 || index >= static_cast<int>(FItems.size()))
      throw EListError(WideFormat(L"List index out of bounds (%d)", index));
    return FItems[index];
  }
  int Add(I* item) {
    Ptr ref(item);
    std::lock_guard<std::mutex> guard(FLock);
    FItems.push_back(std::move(ref));
    return static_cast<int>(FItems.size()) - 1;
  }
  // Takes back the last item when it is this one (undoing a failed pair of adds).
  void RemoveLast(I* item) {
    Ptr dropped;
    std::lock_guard<std::mutex> guard(FLock);
    if (!FItems.empty() && FItems.back().Get() == item) {
      dropped = std::move(FItems.back());
      FItems.pop_back();
    }
  }
  // Drops the item at Index outside the lock; "List index out of bounds (%d)" outside the list.
  void Delete(int index) {
    Ptr dropped;
    std::lock_guard<std::mutex> guard(FLock);
    if (index < 0 || index >= static_cast<int>(FItems.size()))
      throw EListError(WideFormat(L"List index out of bounds (%d)", index));
    dropped = std::move(FItems[index]);
    FItems.erase(FItems.begin() + index);
  }
  // Drops every reference outside the lock, so an item's destructor may use the list.
  void Clear() {
    std::vector<Ptr> dropped;
    {
      std::lock_guard<std::mutex> guard(FLock);
      dropped.swap(FItems);
    }
  }
  // Position of the reference by identity; -1 when absent.
  int IndexOf(I* item) const {
    std::lock_guard<std::mutex> guard(FLock);
    for (size_t i = 0; i < FItems.size(); ++i)
      if (FItems[i].Get() == item) return static_cast<int>(i);
    return -1;
  }
  // A copy of the items at one moment, for walking without holding the lock.
  std::vector<Ptr> Snapshot() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FItems;
  }

private:
  mutable std::mutex FLock;
  std::vector<Ptr> FItems;
};
