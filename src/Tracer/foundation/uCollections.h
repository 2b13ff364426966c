// Small hashed maps keyed by a 32-bit value or by the hash of a wide string.
// 16 buckets chosen by bits 8..11 of the key, each kept sorted by unsigned key.
// Not synchronised: one thread at a time, or under the owner's lock.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/rtl/SysUtils.h"

class TQBucketListEnumerator;

// h := h * 31 + c over the UTF-16 units, modulo 2^32; case-sensitive.
uint32_t WideStringHash(const std::wstring& s);

class TQBucketList : public TObject {
public:
  using TBucketProc = void (*)(void* info, uint32_t key, void* data, bool& continueWalk);

  TQBucketList();
  ~TQBucketList() override;
  TQBucketList(const TQBucketList&) = delete;
  TQBucketList& operator=(const TQBucketList&) = delete;

  void* Add(uint32_t key, void* data);
  // Data of the removed item, or nullptr when the key is absent.
  void* Remove(uint32_t key);
  bool Find(uint32_t key, void*& data) const;
  bool Exists(uint32_t key) const;
  // Walks buckets 0..15, each from its last item to its first; the map is locked meanwhile.
  bool ForEach(TBucketProc proc, void* info);
  void Clear();
  int GetCount();
  bool IsEmpty() { return GetCount() == 0; }
  std::unique_ptr<TQBucketListEnumerator> GetEnumerator();

  static constexpr int BucketCount = 16;
  static constexpr uint8_t BucketMask = 15;
  static int BucketOf(uint32_t key) { return static_cast<int>((key >> 8) & BucketMask); }

protected:
  struct TBucketItem {
    uint32_t Key;
    void* Data;
  };
  struct TBucket {
    int32_t Count = 0;
    std::vector<TBucketItem> Items;
  };

  // Bucket of the key and the item's index in it; when absent, where it would go.
  virtual bool LocateKey(uint32_t key, int& bucket, int& index) const;
  virtual void* InsertSorted(int bucket, int index, uint32_t key, void* data);
  // Removes the item and returns its data; while clearing it only returns the data.
  virtual void* DeleteItem(int bucket, int index);

  void CheckNotLocked() const;
  bool IsClearing() const { return FClearing; }

private:
  friend class TQBucketListEnumerator;
  TBucket FBuckets[BucketCount];
  bool FLocked = false;
  bool FClearing = false;
};

// Map of objects, never nil; an owning map frees every object that leaves it.
class TQObjectBucketList : public TQBucketList {
public:
  explicit TQObjectBucketList(bool ownsObjects = false) : FOwnsObjects(ownsObjects) {}
  ~TQObjectBucketList() override;

  TObject* Add(uint32_t key, TObject* data) {
    return static_cast<TObject*>(TQBucketList::Add(key, data));
  }
  // On an owning map the result tells only whether the key was present.
  TObject* Remove(uint32_t key) { return static_cast<TObject*>(TQBucketList::Remove(key)); }
  bool Find(uint32_t key, TObject*& data) const;
  bool OwnsObjects() const { return FOwnsObjects; }

protected:
  void* InsertSorted(int bucket, int index, uint32_t key, void* data) override;
  void* DeleteItem(int bucket, int index) override;

private:
  bool FOwnsObjects;
};

// Objects keyed by WideStringHash of a string; the string itself is not kept.
class TQStringBucketList : public TQObjectBucketList {
public:
  using TQObjectBucketList::TQObjectBucketList;
  TObject* AddString(const std::wstring& key, TObject* data) { return Add(WideStringHash(key), data); }
  TObject* RemoveString(const std::wstring& key) { return Remove(WideStringHash(key)); }
  bool FindString(const std::wstring& key, TObject*& data) const { return Find(WideStringHash(key), data); }
  bool StringExists(const std::wstring& key) const { return Exists(WideStringHash(key)); }
};

// Visits buckets 15 down to 0, each from its last item to its first. The map must not
// change while it walks.
class TQBucketListEnumerator {
public:
  explicit TQBucketListEnumerator(TQBucketList* list)
      : FBucketIndex(TQBucketList::BucketCount), FItemIndex(0), FList(list) {}
  virtual ~TQBucketListEnumerator() = default;
  bool MoveNext();
  void* GetCurrent() const;

protected:
  int32_t FBucketIndex;
  int32_t FItemIndex;
  TQBucketList* FList;
};

// Typed enumerator over an object map; a nil current item fails the given assertion.
template <class T>
class TQObjectBucketListEnumerator : public TQBucketListEnumerator {
public:
  TQObjectBucketListEnumerator(TQBucketList* list, const wchar_t* unitPath, int line)
      : TQBucketListEnumerator(list), FUnitPath(unitPath), FLine(line) {}
  T* GetCurrent() const {
    auto* obj = static_cast<TObject*>(TQBucketListEnumerator::GetCurrent());
    CW_ASSERT(obj != nullptr, FUnitPath, FLine);
    return static_cast<T*>(obj);
  }

private:
  const wchar_t* FUnitPath;
  int FLine;
};

// The object under key in an object map, as a T; a nil item fails the given assertion.
template <class T>
bool FindObject(const TQObjectBucketList& list, uint32_t key, T*& object, const wchar_t* unitPath, int line) {
  TObject* obj = nullptr;
  if (!list.Find(key, obj)) return false;
  CW_ASSERT(obj != nullptr, unitPath, line);
  object = static_cast<T*>(obj);
  return true;
}

// The objects of a map in the enumerator's order, for walks that change the map.
template <class T>
std::vector<T*> ObjectsOf(TQBucketList* list, const wchar_t* unitPath, int line) {
  std::vector<T*> items;
  TQObjectBucketListEnumerator<T> e(list, unitPath, line);
  while (e.MoveNext()) items.push_back(e.GetCurrent());
  return items;
}
