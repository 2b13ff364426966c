#include "Tracer/foundation/uSingletons.h"

#include <atomic>

#include <cxxabi.h>

#include <cstdlib>
#include <mutex>
#include <typeinfo>

#include "Tracer/foundation/uGuards.h"

static const wchar_t* const kUnit = L"src/Tracer/uSingletons";

HRESULT ObjectQueryInterface(TInterfaceProvider* obj, REFIID iid, void** intf) {
  if (intf == nullptr) return E_POINTER;
  *intf = nullptr;
  return ComMethodGuard(IID_IUnknown, [&]() -> HRESULT {
    void* p = obj != nullptr ? obj->GetInterface(iid) : nullptr;
    if (p == nullptr) return E_NOINTERFACE;
    static_cast<IUnknown*>(p)->AddRef();
    *intf = p;
    return S_OK;
  });
}

ULONG TInterfacedObject::ObjAddRef() noexcept { return static_cast<ULONG>(++FRefCount); }

bool TInterfacedObject::TryObjAddRef() noexcept {
  LONG n = FRefCount.load();
  while (n > 0)
    if (FRefCount.compare_exchange_weak(n, n + 1)) return true;
  return false;
}

ULONG TInterfacedObject::ObjRelease() noexcept {
  const LONG n = --FRefCount;
  if (n == 0) delete this;
  return static_cast<ULONG>(n);
}

HRESULT TInterfacedObject::ObjQueryInterface(REFIID iid, void** intf) noexcept {
  return ObjectQueryInterface(this, iid, intf);
}

void* TInterfacedObject::GetInterface(REFIID) { return nullptr; }

void TObjectFactory::CreateInstance(TObject*&) const {}
void TObjectFactory::DestroyInstance(TObject*&) const {}
std::wstring TObjectFactory::ServiceName() const { return TypeDisplayName(typeid(*this)); }

void TSimpleObjectFactory::DestroyInstance(TObject*& instance) const {
  TObjectFactory::DestroyInstance(instance);
  delete instance;
}

void TInterfacedObjectFactory::CreateInstance(TObject*& instance) const {
  TObjectFactory::CreateInstance(instance);
  auto* obj = dynamic_cast<TInterfacedObject*>(instance);
  CW_ASSERT(obj != nullptr, kUnit, __LINE__);
  obj->ObjAddRef();
}

void TInterfacedObjectFactory::DestroyInstance(TObject*& instance) const {
  TObjectFactory::DestroyInstance(instance);
  if (instance == nullptr) return;
  auto* obj = dynamic_cast<TInterfacedObject*>(instance);
  CW_ASSERT(obj != nullptr, kUnit, __LINE__);
  obj->ObjRelease();
}

TInstanceListItem::~TInstanceListItem() {
  try {
    FFactory->DestroyInstance(*FInstanceAddr);
  } catch (...) {
    // A destructor that fails must not keep the remaining services alive.
  }
  *FInstanceAddr = nullptr;
}

TInstanceList::~TInstanceList() {
  FShuttingDown = true;
  while (!FItems.empty()) {
    // Take the item out first: a dying service may still ask for the ones made before it.
    std::unique_ptr<TInstanceListItem> item = std::move(FItems.back());
    FItems.pop_back();
    item.reset();
  }
}

void TInstanceList::AddInstance(const TObjectFactory& factory, TObject** instanceAddr) {
  FItems.push_back(std::make_unique<TInstanceListItem>(factory, instanceAddr));
}

std::wstring TypeDisplayName(const std::type_info& type) {
  const char* mangled = type.name();
  int status = 0;
  char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && plain != nullptr ? plain : mangled;
  std::free(plain);
  return std::wstring(name.begin(), name.end());
}

[[noreturn]] static void RaiseAfterShutdown(const TObjectFactory& factory) {
  throw EInstanceError(WideFormat(L"Service %ls requested after the services were shut down",
                                  factory.ServiceName().c_str()));
}

void TInstanceList::GetInstance(const TObjectFactory& factory, TObject*& instance) {
  if (__atomic_load_n(&instance, __ATOMIC_ACQUIRE) != nullptr) return;
  if (FShuttingDown) RaiseAfterShutdown(factory);
  TObject* made = nullptr;
  factory.CreateInstance(made);  // raises: nothing registered, the variable stays nil
  AddInstance(factory, &instance);
  // Published whole: a thread that sees the pointer sees the finished object.
  __atomic_store_n(&instance, made, __ATOMIC_RELEASE);
}

namespace {
TInstanceList* gInstanceList = nullptr;
std::recursive_mutex* gInstanceLock = nullptr;
std::once_flag gLockMade;
bool gInstancesFreed = false;
}  // namespace

TInstanceList* GetInstanceList() {
  if (gInstanceList == nullptr) {
    if (gInstancesFreed) throw EInstanceError(L"The instance list was requested after it was freed");
    gInstanceList = new TInstanceList();
  }
  return gInstanceList;
}

void GetInstance(const TObjectFactory& factory, TObject*& instance) {
  if (__atomic_load_n(&instance, __ATOMIC_ACQUIRE) != nullptr) return;
  if (gInstancesFreed) RaiseAfterShutdown(factory);
  // The first use may come from the debugging thread and the main thread at once: one of
  // them makes the service, the other waits for it.
  std::lock_guard<std::recursive_mutex> guard(InstanceLock());
  GetInstanceList()->GetInstance(factory, instance);
}

std::recursive_mutex& InstanceLock() {
  std::call_once(gLockMade, [] { gInstanceLock = new std::recursive_mutex(); });
  if (gInstanceLock == nullptr) throw EInstanceError(L"The instance lock was requested after it was freed");
  return *gInstanceLock;
}

void LockInstances() { InstanceLock().lock(); }
void UnlockInstances() { InstanceLock().unlock(); }

void GetInstanceLocked(const TObjectFactory& factory, TObject*& instance) {
  std::lock_guard<std::recursive_mutex> guard(InstanceLock());
  GetInstance(factory, instance);
}

namespace {
std::atomic<int> gShutdownExitCode{0};
}  // namespace

void SetShutdownExitCode(int code) { gShutdownExitCode = code; }
int ShutdownExitCode() { return gShutdownExitCode; }

void FreeInstanceList() {
  if (gInstancesFreed) return;
  // From here on a request for a service that is gone (or was never made) raises; the ones
  // still alive answer, so a dying service may use those made before it.
  gInstancesFreed = true;
  delete gInstanceList;
  gInstanceList = nullptr;
  // The lock last: destructors of services may still take it (the time counter's accessor).
  std::call_once(gLockMade, [] {});
  delete gInstanceLock;
  gInstanceLock = nullptr;
}
