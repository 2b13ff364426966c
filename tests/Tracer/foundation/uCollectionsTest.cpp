#include "Tracer/foundation/uCollections.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

void* P(uintptr_t v) { return reinterpret_cast<void*>(v); }

std::vector<uint32_t> WalkKeys(TQBucketList& list) {
  std::vector<uint32_t> keys;
  list.ForEach([](void* info, uint32_t key, void*, bool&) { static_cast<std::vector<uint32_t>*>(info)->push_back(key); },
               &keys);
  return keys;
}

struct TCounted : TObject {
  explicit TCounted(int* freed) : Freed(freed) {}
  ~TCounted() override { ++*Freed; }
  int* Freed;
};

}  // namespace

TEST(BucketList, KeysGoToBucketsByBits8To11AndSortUnsigned) {
  EXPECT_EQ(TQBucketList::BucketOf(0x100), 1);
  EXPECT_EQ(TQBucketList::BucketOf(0x200), 2);
  EXPECT_EQ(TQBucketList::BucketOf(0x1000), 0);
  EXPECT_EQ(TQBucketList::BucketOf(0), 0);

  TQBucketList list;
  list.Add(0xFFFFF010u, P(2));
  list.Add(16, P(1));
  list.Add(0x1000, P(3));
  // ForEach walks a bucket from its last (largest) key to its first.
  EXPECT_EQ(WalkKeys(list), (std::vector<uint32_t>{0xFFFFF010u, 0x1000, 16}));
  void* d = nullptr;
  ASSERT_TRUE(list.Find(16, d));
  EXPECT_EQ(d, P(1));
  ASSERT_TRUE(list.Find(0xFFFFF010u, d));
  EXPECT_EQ(d, P(2));
}

TEST(BucketList, ManyKeysInOneBucketStayFindableAfterInsertsAndRemoves) {
  TQBucketList list;
  // Keys in bucket 0 only, inserted in a scrambled order.
  std::vector<uint32_t> keys;
  for (uint32_t i = 0; i < 300; ++i) keys.push_back(((i * 7919u) % 300u) * 0x1000u + (i % 256));
  for (uint32_t k : keys) list.Add(k, P(k + 1));
  EXPECT_EQ(list.GetCount(), 300);
  for (size_t i = 0; i < keys.size(); i += 2) EXPECT_EQ(list.Remove(keys[i]), P(keys[i] + 1));
  EXPECT_EQ(list.GetCount(), 150);
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(list.Exists(keys[i]), i % 2 == 1) << i;
  auto walked = WalkKeys(list);
  for (size_t i = 1; i < walked.size(); ++i) EXPECT_GT(walked[i - 1], walked[i]);
}

TEST(BucketList, DuplicateKeyIsRefusedAndKeepsFirstData) {
  TQBucketList list;
  list.Add(0x1F, P(1));
  try {
    list.Add(0x1F, P(2));
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), L"List does not allow duplicates ($01F)");
  }
  void* d = nullptr;
  list.Find(0x1F, d);
  EXPECT_EQ(d, P(1));
  EXPECT_EQ(list.GetCount(), 1);
}

TEST(BucketList, RemoveAndFindOfAbsentKey) {
  TQBucketList list;
  EXPECT_EQ(list.Remove(5), nullptr);
  void* d = P(77);
  EXPECT_FALSE(list.Find(5, d));
  EXPECT_EQ(d, P(77));  // left unchanged
  EXPECT_TRUE(list.IsEmpty());
}

TEST(BucketList, ForEachStopsWhenAskedAndLocksTheList) {
  TQBucketList list;
  list.Add(1, P(1));
  list.Add(0x101, P(2));
  list.Add(0x201, P(3));
  int visits = 0;
  bool result = list.ForEach([](void* info, uint32_t, void*, bool& cont) {
    ++*static_cast<int*>(info);
    cont = false;
  }, &visits);
  EXPECT_FALSE(result);
  EXPECT_EQ(visits, 1);

  struct Ctx { TQBucketList* L; int errors; } ctx{&list, 0};
  EXPECT_TRUE(list.ForEach([](void* info, uint32_t, void*, bool&) {
    auto* c = static_cast<Ctx*>(info);
    try { c->L->Add(0x999, nullptr); } catch (const EListError& e) {
      if (e.Message() == L"List is locked during an active ForEach") ++c->errors;
    }
    try { c->L->Remove(1); } catch (const EListError&) { ++c->errors; }
    try { c->L->Clear(); } catch (const EListError&) { ++c->errors; }
  }, &ctx));
  EXPECT_EQ(ctx.errors, 9);
  EXPECT_EQ(list.GetCount(), 3);
  list.Add(0x999, P(4));  // unlocked again
  EXPECT_EQ(list.GetCount(), 4);
}

TEST(BucketList, NestedWalksAndARaisingCallbackRestoreTheLock) {
  TQBucketList list;
  list.Add(1, P(1));
  EXPECT_THROW(list.ForEach([](void*, uint32_t, void*, bool&) { throw EAbort(L""); }, nullptr), EAbort);
  list.Add(2, P(2));  // not locked after the failed walk
  int inner = 0;
  list.ForEach([](void* info, uint32_t, void*, bool&) {
    auto* l = static_cast<TQBucketList*>(info);
    l->ForEach([](void*, uint32_t, void*, bool&) {}, nullptr);
    EXPECT_THROW(l->Add(3, nullptr), EListError);  // the outer walk still locks it
  }, &list);
  (void)inner;
  list.Add(3, P(3));
}

TEST(BucketList, EnumeratorWalksBucketsDownwardAndItemsFromLast) {
  TQBucketList empty;
  EXPECT_FALSE(empty.GetEnumerator()->MoveNext());

  TQBucketList list;
  list.Add(0x0101, P(1));
  list.Add(0x0F01, P(3));
  list.Add(0x0102, P(2));
  auto e = list.GetEnumerator();
  std::vector<void*> seen;
  while (e->MoveNext()) seen.push_back(e->GetCurrent());
  EXPECT_EQ(seen, (std::vector<void*>{P(3), P(2), P(1)}));
  EXPECT_FALSE(e->MoveNext());
  EXPECT_FALSE(e->MoveNext());
}

TEST(ObjectBucketList, OwningListFreesEachObjectOnceOnRemoveClearAndDestruction) {
  int freed = 0;
  {
    TQObjectBucketList list(true);
    for (uint32_t k = 0; k < 40; ++k) list.Add(k * 0x101, new TCounted(&freed));
    EXPECT_NE(list.Remove(0x101), nullptr);
    EXPECT_EQ(freed, 1);
    list.Clear();
    EXPECT_EQ(freed, 40);
    EXPECT_TRUE(list.IsEmpty());
    list.Add(1, new TCounted(&freed));
    list.Add(2, new TCounted(&freed));
  }
  EXPECT_EQ(freed, 42);

  TCounted keep(&freed);
  {
    TQObjectBucketList notOwning(false);
    notOwning.Add(1, &keep);
  }
  EXPECT_EQ(freed, 42);
}

TEST(ObjectBucketList, NilObjectIsAnAssertionFailureAndNotAdded) {
  TQObjectBucketList list(true);
  EXPECT_THROW(list.Add(1, static_cast<TObject*>(nullptr)), EAssertionFailed);
  EXPECT_TRUE(list.IsEmpty());
}

TEST(StringBucketList, HashIsJavaStyleAndCaseSensitive) {
  EXPECT_EQ(WideStringHash(L""), 0u);
  EXPECT_EQ(WideStringHash(L"a"), 97u);
  EXPECT_EQ(WideStringHash(L"ab"), 3105u);
  EXPECT_NE(WideStringHash(L"AB"), WideStringHash(L"ab"));
  // Wraps modulo 2^32.
  std::wstring longText(40, L'z');
  uint32_t h = 0;
  for (wchar_t c : longText) h = h * 31 + c;
  EXPECT_EQ(WideStringHash(longText), h);
  EXPECT_EQ(WideStringHash(std::wstring(1, L'\xFFFF')), 0xFFFFu);
}

TEST(StringBucketList, StringsWithEqualHashAreOneKey) {
  int freed = 0;
  TQStringBucketList list(true);
  list.AddString(L"Aa", new TCounted(&freed));
  EXPECT_TRUE(list.StringExists(L"BB"));  // "Aa" and "BB" share the hash 2112
  EXPECT_THROW(list.AddString(L"BB", new TCounted(&freed)), EListError);
  // The refused object is the caller's; it was never stored.
  EXPECT_EQ(freed, 0);
  TObject* found = nullptr;
  EXPECT_TRUE(list.FindString(L"Aa", found));
  EXPECT_NE(list.RemoveString(L"BB"), nullptr);
  EXPECT_EQ(freed, 1);
  EXPECT_FALSE(list.StringExists(L"Aa"));
}
