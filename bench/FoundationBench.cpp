// Foundation: bucket-list lookups, uncontended read-lock pairs, time-counter stamps.
#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>

#include "Bench.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/foundation/uCollections.h"

namespace {

constexpr int kKeys = 10000;

void BucketFind(TBenchGroup& g) {
  // Keys spread like code addresses of a loaded module, looked up in random order.
  std::vector<uint32_t> keys;
  std::mt19937 rng(7);
  for (int i = 0; i < kKeys; ++i) keys.push_back(0x00400000u + static_cast<uint32_t>(rng() % 0x00200000u));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::vector<uint32_t> order = keys;
  std::shuffle(order.begin(), order.end(), rng);

  std::unordered_map<uint32_t, void*> hash;
  TQBucketList buckets;
  for (uint32_t k : keys) {
    hash.emplace(k, reinterpret_cast<void*>(static_cast<uintptr_t>(k)));
    buckets.Add(k, reinterpret_cast<void*>(static_cast<uintptr_t>(k)));
  }
  const int64_t n = static_cast<int64_t>(order.size());
  g.Measure("std::unordered_map find", 200, n, [&](int64_t it) {
    uintptr_t sum = 0;
    for (int64_t r = 0; r < it; ++r)
      for (uint32_t k : order) sum += reinterpret_cast<uintptr_t>(hash.find(k)->second);
    gBenchSink = sum;
  });
  g.Measure("TQBucketList::Find", 200, n, [&](int64_t it) {
    uintptr_t sum = 0;
    void* d = nullptr;
    for (int64_t r = 0; r < it; ++r)
      for (uint32_t k : order)
        if (buckets.Find(k, d)) sum += reinterpret_cast<uintptr_t>(d);
    gBenchSink = sum;
  });
  g.Measure("TQBucketList::Find, absent keys", 200, n, [&](int64_t it) {
    uintptr_t sum = 0;
    void* d = nullptr;
    for (int64_t r = 0; r < it; ++r)
      for (uint32_t k : order) sum += buckets.Find(k + 0x01000000u, d) ? 1 : 0;
    gBenchSink = sum;
  });

  std::vector<std::wstring> names;
  for (int i = 0; i < kKeys; ++i) names.push_back(L"export://Function" + std::to_wstring(i) + L"@module.dll");
  TQStringBucketList strings(true);
  for (const auto& s : names)
    if (!strings.StringExists(s)) strings.AddString(s, new TObject());
  g.Measure("TQStringBucketList::FindString (hash included)", 50, kKeys, [&](int64_t it) {
    uintptr_t sum = 0;
    TObject* o = nullptr;
    for (int64_t r = 0; r < it; ++r)
      for (const auto& s : names)
        if (strings.FindString(s, o)) sum += reinterpret_cast<uintptr_t>(o);
    gBenchSink = sum;
  });
}

void ReadLockPairs(TBenchGroup& g) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  g.Measure("critical section enter/leave", 2000000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) {
      EnterCriticalSection(&cs);
      LeaveCriticalSection(&cs);
    }
  });
  DeleteCriticalSection(&cs);
  SRWLOCK srw = SRWLOCK_INIT;
  g.Measure("SRW lock shared acquire/release", 2000000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) {
      AcquireSRWLockShared(&srw);
      ReleaseSRWLockShared(&srw);
    }
  });
  TDebugRWSync* sync = GetDebugRWSync();
  g.Measure("TDebugRWSync BeginRead/EndRead", 2000000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) {
      sync->BeginRead();
      sync->EndRead();
    }
  });
  sync->BeginRead();
  g.Measure("TDebugRWSync nested read pair", 2000000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) {
      sync->BeginRead();
      sync->EndRead();
    }
  });
  sync->EndRead();
  g.Measure("TDebugRWSync BeginWrite/EndWrite", 2000000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) {
      sync->BeginWrite();
      sync->EndWrite();
    }
  });
}

void TimeStamps(TBenchGroup& g) {
  g.Measure("QueryPerformanceCounter", 1000000, 1, [](int64_t it) {
    LARGE_INTEGER c;
    int64_t sum = 0;
    for (int64_t i = 0; i < it; ++i) {
      QueryPerformanceCounter(&c);
      sum += c.QuadPart;
    }
    gBenchSink = static_cast<uintptr_t>(sum);
  });
  g.Measure("GetTickCount", 1000000, 1, [](int64_t it) {
    int64_t sum = 0;
    for (int64_t i = 0; i < it; ++i) sum += GetTickCount();
    gBenchSink = static_cast<uintptr_t>(sum);
  });
  TTimeCounter* counter = GetTimeCounter();
  g.Measure("TTimeCounter::GetTimeStamp", 1000000, 1, [&](int64_t it) {
    int64_t sum = 0;
    for (int64_t i = 0; i < it; ++i) sum += counter->GetTimeStamp();
    gBenchSink = static_cast<uintptr_t>(sum);
  });
  g.Measure("GetTimeCounter()->GetTimeStamp (locked accessor)", 1000000, 1, [](int64_t it) {
    int64_t sum = 0;
    for (int64_t i = 0; i < it; ++i) sum += GetTimeCounter()->GetTimeStamp();
    gBenchSink = static_cast<uintptr_t>(sum);
  });
  g.Measure("entry+return stamps and ElapsedMs", 1000000, 1, [&](int64_t it) {
    long double sum = 0;
    for (int64_t i = 0; i < it; ++i) {
      const int64_t a = counter->GetTimeStamp();
      sum += counter->ElapsedMs(a, counter->GetTimeStamp());
    }
    gBenchSink = static_cast<uintptr_t>(sum);
  });
}

const bool kRegistered = RegisterBenchmark("Bucket Find, 10,000 keys", BucketFind) &&
                         RegisterBenchmark("Uncontended read-lock pairs", ReadLockPairs) &&
                         RegisterBenchmark("Time-counter stamps", TimeStamps);

}  // namespace
