#include "Tracer/foundation/uCollections.h"

uint32_t WideStringHash(const std::wstring& s) {
  uint32_t h = 0;
  for (wchar_t c : s) h = h * 31u + static_cast<uint16_t>(c);
  return h;
}

TQBucketList::TQBucketList() = default;

TQBucketList::~TQBucketList() {
  // Derived lists clear in their own destructors, while their delete slot still exists.
  try {
    Clear();
  } catch (...) {
  }
}

void TQBucketList::CheckNotLocked() const {
  if (FLocked) throw EListError(L"List is locked during an active ForEach");
}

bool TQBucketList::LocateKey(uint32_t key, int& bucket, int& index) const {
  bucket = BucketOf(key);
  const TBucket& b = FBuckets[bucket];
  int lo = 0, hi = b.Count - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = static_cast<int>(static_cast<unsigned>(lo + hi) >> 1);
    uint32_t k = b.Items[mid].Key;
    if (k < key) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (k == key) {
        found = true;
        lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

void* TQBucketList::InsertSorted(int bucket, int index, uint32_t key, void* data) {
  TBucket& b = FBuckets[bucket];
  size_t cap = b.Items.capacity();
  if (b.Items.size() == cap) {
    size_t delta = cap <= 8 ? 4 : cap <= 64 ? 16 : cap / 4;
    b.Items.reserve(cap + delta);
  }
  b.Items.insert(b.Items.begin() + index, TBucketItem{key, data});
  ++b.Count;
  return data;
}

void* TQBucketList::DeleteItem(int bucket, int index) {
  TBucket& b = FBuckets[bucket];
  void* data = b.Items[index].Data;
  if (!FClearing) {
    b.Items.erase(b.Items.begin() + index);
    --b.Count;
  }
  return data;
}

void* TQBucketList::Add(uint32_t key, void* data) {
  CheckNotLocked();
  int bucket, index;
  if (LocateKey(key, bucket, index))
    throw EListError(WideFormat(L"List does not allow duplicates ($0%X)", key));
  return InsertSorted(bucket, index, key, data);
}

void* TQBucketList::Remove(uint32_t key) {
  CheckNotLocked();
  int bucket, index;
  if (!LocateKey(key, bucket, index)) return nullptr;
  return DeleteItem(bucket, index);
}

bool TQBucketList::Find(uint32_t key, void*& data) const {
  int bucket, index;
  if (!LocateKey(key, bucket, index)) return false;
  data = FBuckets[bucket].Items[index].Data;
  return true;
}

bool TQBucketList::Exists(uint32_t key) const {
  int bucket, index;
  return LocateKey(key, bucket, index);
}

bool TQBucketList::ForEach(TBucketProc proc, void* info) {
  bool wasLocked = FLocked;
  FLocked = true;
  bool cont = true;
  try {
    for (int bi = 0; bi < BucketCount && cont; ++bi) {
      TBucket& b = FBuckets[bi];
      for (int i = b.Count - 1; i >= 0 && cont; --i) proc(info, b.Items[i].Key, b.Items[i].Data, cont);
    }
  } catch (...) {
    FLocked = wasLocked;
    throw;
  }
  FLocked = wasLocked;
  return cont;
}

void TQBucketList::Clear() {
  CheckNotLocked();
  FClearing = true;
  try {
    for (TBucket& b : FBuckets) {
      for (int i = b.Count - 1; i >= 0; --i) DeleteItem(static_cast<int>(&b - FBuckets), i);
      b.Items.clear();
      b.Items.shrink_to_fit();
      b.Count = 0;
    }
  } catch (...) {
    FClearing = false;
    throw;
  }
  FClearing = false;
}

static void CountBucketItem(void* info, uint32_t, void*, bool&) { ++*static_cast<int*>(info); }

int TQBucketList::GetCount() {
  int n = 0;
  ForEach(CountBucketItem, &n);
  return n;
}

std::unique_ptr<TQBucketListEnumerator> TQBucketList::GetEnumerator() {
  return std::make_unique<TQBucketListEnumerator>(this);
}

TQObjectBucketList::~TQObjectBucketList() {
  try {
    Clear();
  } catch (...) {
  }
}

bool TQObjectBucketList::Find(uint32_t key, TObject*& data) const {
  void* p;
  if (!TQBucketList::Find(key, p)) return false;
  data = static_cast<TObject*>(p);
  return true;
}

void* TQObjectBucketList::InsertSorted(int bucket, int index, uint32_t key, void* data) {
  CW_ASSERT(data != nullptr, L"src/Tracer/uCollections", __LINE__);
  return TQBucketList::InsertSorted(bucket, index, key, data);
}

void* TQObjectBucketList::DeleteItem(int bucket, int index) {
  void* data = TQBucketList::DeleteItem(bucket, index);
  if (FOwnsObjects) delete static_cast<TObject*>(data);
  return data;
}

bool TQBucketListEnumerator::MoveNext() {
  if (FItemIndex > 0) {
    --FItemIndex;
    return true;
  }
  while (FBucketIndex > 0) {
    --FBucketIndex;
    int n = FList->FBuckets[FBucketIndex].Count;
    if (n > 0) {
      FItemIndex = n - 1;
      return true;
    }
  }
  return false;
}

void* TQBucketListEnumerator::GetCurrent() const {
  return FList->FBuckets[FBucketIndex].Items[FItemIndex].Data;
}
