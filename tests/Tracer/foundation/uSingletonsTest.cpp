#include "Tracer/foundation/uSingletons.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Tracer/foundation/uUtils.h"
#include "support/TestSupport.h"

namespace {

// What the test services did, in order: "+A" made, "-A" freed.
std::vector<std::string> gEvents;
// The registry the test accessors use (each test makes its own).
TInstanceList* gList = nullptr;

class TNamedService : public TObject {
public:
  explicit TNamedService(std::string name) : FName(std::move(name)) { gEvents.push_back("+" + FName); }
  ~TNamedService() override { gEvents.push_back("-" + FName); }
  const std::string& Name() const { return FName; }

private:
  std::string FName;
};

TObject* gA = nullptr;
TObject* gB = nullptr;
TObject* gC = nullptr;
TObject* gX = nullptr;
TObject* gUsesX = nullptr;
TObject* gFailing = nullptr;
int gFailuresLeft = 0;

class TServiceA : public TNamedService {
public:
  TServiceA() : TNamedService("A") {}
  using TFactory = TServiceFactory<TServiceA, TSimpleObjectFactory>;
};
class TServiceB : public TNamedService {
public:
  TServiceB() : TNamedService("B") {}
  using TFactory = TServiceFactory<TServiceB, TSimpleObjectFactory>;
};
class TServiceC : public TNamedService {
public:
  TServiceC() : TNamedService("C") {}
  using TFactory = TServiceFactory<TServiceC, TSimpleObjectFactory>;
};
class TServiceX : public TNamedService {
public:
  TServiceX() : TNamedService("X") {}
  using TFactory = TServiceFactory<TServiceX, TSimpleObjectFactory>;
};

template <class T>
T* Get(TObject*& var) {
  static const typename T::TFactory factory;
  gList->GetInstance(factory, var);
  return static_cast<T*>(var);
}

// Its constructor asks for X; its destructor asks for A and then for X again.
class TUsesX : public TNamedService {
public:
  TUsesX() : TNamedService("UsesX") { Get<TServiceX>(gX); }
  ~TUsesX() override {
    try {
      gEvents.push_back("UsesX sees " + Get<TServiceX>(gX)->Name());
    } catch (const EInstanceError&) {
      gEvents.push_back("UsesX refused");
    }
  }
  using TFactory = TServiceFactory<TUsesX, TSimpleObjectFactory>;
};

class TFailingService : public TNamedService {
public:
  TFailingService() : TNamedService("F") {
    if (gFailuresLeft > 0) {
      --gFailuresLeft;
      throw Exception(L"cannot make it");
    }
  }
  using TFactory = TServiceFactory<TFailingService, TSimpleObjectFactory>;
};

// A counted service that also hands out IUnknown.
class TCountedService : public TInterfacedObject, public IUnknown {
public:
  TCountedService() { gEvents.push_back("+Counted"); }
  ~TCountedService() override { gEvents.push_back("-Counted"); }
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override {
    if (IsEqualIID(iid, __uuidof(IUnknown))) return static_cast<IUnknown*>(this);
    return TInterfacedObject::GetInterface(iid);
  }
  using TFactory = TServiceFactory<TCountedService, TInterfacedObjectFactory>;
};
TObject* gCounted = nullptr;

// A window-like service that its owner frees, not the registry.
class TOwnedElsewhere : public TNamedService {
public:
  TOwnedElsewhere() : TNamedService("Owned") {}
  using TFactory = TServiceFactory<TOwnedElsewhere, TObjectFactory>;
};
TObject* gOwned = nullptr;

// Not counted, yet given to the interfaced factory.
class TPlainService : public TNamedService {
public:
  TPlainService() : TNamedService("Plain") {}
  using TFactory = TServiceFactory<TPlainService, TInterfacedObjectFactory>;
};
TObject* gPlain = nullptr;

// Its destructor asks for C, which nobody made before the shutdown.
class TProbe : public TNamedService {
public:
  TProbe() : TNamedService("Probe") {}
  ~TProbe() override {
    try {
      Get<TServiceC>(gC);
      gEvents.push_back("made C");
    } catch (const EInstanceError& e) {
      gEvents.push_back(WideToUtf8(e.Message()));
    }
  }
  using TFactory = TServiceFactory<TProbe, TSimpleObjectFactory>;
};
TObject* gProbe = nullptr;

class InstanceList : public testing::Test {
protected:
  void SetUp() override {
    gEvents.clear();
    for (TObject** v : {&gA, &gB, &gC, &gX, &gUsesX, &gFailing, &gCounted, &gOwned, &gPlain, &gProbe}) *v = nullptr;
    gList = new TInstanceList();
  }
  void TearDown() override { Shutdown(); }
  void Shutdown() {
    delete gList;
    gList = nullptr;
  }
};

}  // namespace

TEST_F(InstanceList, OneAccessorGivesOneObjectRegisteredOnce) {
  TServiceA* first = Get<TServiceA>(gA);
  TServiceA* second = Get<TServiceA>(gA);
  EXPECT_EQ(first, second);
  EXPECT_EQ(gList->Count(), 1);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"+A"}));
}

TEST_F(InstanceList, ServicesDieInReverseOrderOfMaking) {
  Get<TServiceA>(gA);
  Get<TServiceB>(gB);
  Get<TServiceC>(gC);
  Get<TServiceB>(gB);
  Shutdown();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"+A", "+B", "+C", "-C", "-B", "-A"}));
  EXPECT_EQ(gA, nullptr) << "a freed service is not left in its variable";
  EXPECT_EQ(gC, nullptr);
}

TEST_F(InstanceList, ServiceUsedByAConstructorIsRegisteredFirstAndOutlivesItsUser) {
  Get<TServiceA>(gA);
  Get<TUsesX>(gUsesX);
  Shutdown();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"+A", "+UsesX", "+X", "UsesX sees X", "-UsesX", "-X", "-A"}));
}

TEST_F(InstanceList, DyingServiceCannotReachAServiceAlreadyFreed) {
  Get<TUsesX>(gUsesX);  // registers X, then UsesX
  Get<TServiceB>(gB);
  // Free X by hand the way a later registration would have: UsesX must be refused, not
  // handed the freed object.
  delete gX;
  gX = nullptr;
  gEvents.clear();
  Shutdown();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"-B", "UsesX refused", "-UsesX"}));
}

TEST_F(InstanceList, RequestAfterShutdownNamesTheService) {
  Get<TProbe>(gProbe);
  Shutdown();
  EXPECT_EQ(gEvents, (std::vector<std::string>{
                         "+Probe",
                         "Service (anonymous namespace)::TServiceC requested after the services were shut "
                         "down",
                         "-Probe"}));
}

TEST_F(InstanceList, FailedConstructionRegistersNothingAndIsRetried) {
  gFailuresLeft = 1;
  EXPECT_THROW(Get<TFailingService>(gFailing), Exception);
  EXPECT_EQ(gFailing, nullptr);
  EXPECT_EQ(gList->Count(), 0);
  TFailingService* made = Get<TFailingService>(gFailing);
  EXPECT_NE(made, nullptr);
  EXPECT_EQ(gList->Count(), 1);
}

TEST_F(InstanceList, CountedServiceStillReferencedOutlivesTheRegistry) {
  auto* counted = Get<TCountedService>(gCounted);
  EXPECT_EQ(counted->RefCount(), 1) << "the registry holds one reference";
  IUnknown* held = nullptr;
  ASSERT_EQ(counted->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&held)), S_OK);
  EXPECT_EQ(counted->RefCount(), 2);
  Shutdown();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"+Counted"}));
  InterfacedRelease(held);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"+Counted", "-Counted"}));
}

TEST_F(InstanceList, CountedServiceWithoutOtherReferencesDiesWithTheRegistry) {
  Get<TCountedService>(gCounted);
  Shutdown();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"+Counted", "-Counted"}));
}

TEST_F(InstanceList, ServiceOwnedElsewhereIsNotFreed) {
  TObject* owned = Get<TOwnedElsewhere>(gOwned);
  Shutdown();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"+Owned"}));
  delete owned;
}

TEST_F(InstanceList, UncountedObjectForTheInterfacedFactoryIsAnAssertionFailure) {
  try {
    Get<TPlainService>(gPlain);
    FAIL() << "no assertion";
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find(L"src/Tracer/uSingletons"), std::wstring::npos) << WideToUtf8(e.Message());
  }
  EXPECT_EQ(gPlain, nullptr);
}

TEST(InterfacedObject, QueryForAMissingInterfaceGivesNoInterfaceAndNil) {
  auto* obj = new TCountedService();
  obj->AddRef();
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(obj->QueryInterface(__uuidof(IDispatch), &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(obj->RefCount(), 1);
  obj->Release();
}

TEST(InstanceLock, LockedAccessorTakesTheLockOnceAndLeavesItOnFailure) {
  static TObject* failing = nullptr;
  static const TFailingService::TFactory factory;
  gFailuresLeft = 1;
  EXPECT_THROW(GetInstanceLocked(factory, failing), Exception);
  // The lock was left: another thread can take it.
  bool entered = false;
  std::thread other([&] {
    LockInstances();
    entered = true;
    UnlockInstances();
  });
  ASSERT_TRUE(JoinWithin(other, 10000));
  EXPECT_TRUE(entered);
}
