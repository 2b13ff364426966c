// Shared services are singletons: made by their factory the first time their accessor is
// called, registered in one process-wide instance list, and freed by FreeInstanceList at
// the end of the program's main function, the last made first.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include "lib/rtl/SysUtils.h"

CW_DECLARE_EXCEPTION(EInstanceError, Exception);

// What an object answers to QueryInterface: the interface pointer for iid, or nullptr.
// Derived classes extend the answer of their base.
class TInterfaceProvider {
public:
  virtual void* GetInterface(REFIID iid) = 0;

protected:
  ~TInterfaceProvider() = default;
};

// S_OK and an added reference when obj implements iid, else E_NOINTERFACE with *intf nil.
HRESULT ObjectQueryInterface(TInterfaceProvider* obj, REFIID iid, void** intf);

// Base of the objects that implement COM interfaces with a reference count. The count is
// atomic; the release of the last reference deletes the object. A class derives from it and
// from its interfaces, answers GetInterface, and routes IUnknown with CW_IUNKNOWN_COUNTED.
class TInterfacedObject : public TObject, public TInterfaceProvider {
public:
  TInterfacedObject() = default;
  TInterfacedObject(const TInterfacedObject&) = delete;
  TInterfacedObject& operator=(const TInterfacedObject&) = delete;
  ULONG ObjAddRef() noexcept;
  ULONG ObjRelease() noexcept;
  // A reference, unless the count has reached 0 (the object is being destroyed): for caches
  // that hold an object without counting it and forget it in its destructor.
  bool TryObjAddRef() noexcept;
  HRESULT ObjQueryInterface(REFIID iid, void** intf) noexcept;
  LONG RefCount() const noexcept { return FRefCount.load(); }
  void* GetInterface(REFIID iid) override;

private:
  std::atomic<LONG> FRefCount{0};
};

#define CW_IUNKNOWN_COUNTED                                                              \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** intf) override {           \
    return ObjQueryInterface(iid, intf);                                                 \
  }                                                                                      \
  ULONG STDMETHODCALLTYPE AddRef() override { return ObjAddRef(); }                      \
  ULONG STDMETHODCALLTYPE Release() override { return ObjRelease(); }

// "TFoo" of a class, readable.
std::wstring TypeDisplayName(const std::type_info& type);

// How a service is made and released. Factories are stateless objects, one per service
// class (its nested TFactory); the registry keeps (factory, instance variable) pairs.
class TObjectFactory {
public:
  // Makes nothing.
  virtual void CreateInstance(TObject*& instance) const;
  // Leaves the object alive: its owner frees it.
  virtual void DestroyInstance(TObject*& instance) const;
  // The service's class name, for messages.
  virtual std::wstring ServiceName() const;

protected:
  ~TObjectFactory() = default;
};

// Services the registry owns: freed at shutdown.
class TSimpleObjectFactory : public TObjectFactory {
public:
  void DestroyInstance(TObject*& instance) const override;

protected:
  ~TSimpleObjectFactory() = default;
};

// Reference-counted services: the registry holds one reference, and drops it at shutdown.
class TInterfacedObjectFactory : public TObjectFactory {
public:
  void CreateInstance(TObject*& instance) const override;
  void DestroyInstance(TObject*& instance) const override;

protected:
  ~TInterfacedObjectFactory() = default;
};

// A service's nested factory: constructs T with its parameterless constructor, stores it,
// then lets the base take over (Base is one of the three above).
template <class T, class Base>
class TServiceFactory : public Base {
public:
  void CreateInstance(TObject*& instance) const override {
    instance = new T();
    Base::CreateInstance(instance);
  }
  std::wstring ServiceName() const override { return TypeDisplayName(typeid(T)); }
};

class TInstanceListItem {
public:
  TInstanceListItem(const TObjectFactory& factory, TObject** instanceAddr)
      : FFactory(&factory), FInstanceAddr(instanceAddr) {}
  // Releases the service through its factory and clears the instance variable, so a late
  // accessor call finds no freed object.
  ~TInstanceListItem();
  TInstanceListItem(const TInstanceListItem&) = delete;
  TInstanceListItem& operator=(const TInstanceListItem&) = delete;
  const TObjectFactory& Factory() const { return *FFactory; }
  TObject** InstanceAddr() const { return FInstanceAddr; }

private:
  const TObjectFactory* FFactory;
  TObject** FInstanceAddr;
};

// Services in registration order; destruction frees them from the last to the first.
class TInstanceList : public TObject {
public:
  TInstanceList() = default;
  ~TInstanceList() override;
  TInstanceList(const TInstanceList&) = delete;
  TInstanceList& operator=(const TInstanceList&) = delete;
  void AddInstance(const TObjectFactory& factory, TObject** instanceAddr);
  // Makes and registers the service when instance is nil. While the list is being freed a
  // service that is already gone (or never made) raises EInstanceError.
  void GetInstance(const TObjectFactory& factory, TObject*& instance);
  int Count() const { return static_cast<int>(FItems.size()); }
  bool IsShuttingDown() const { return FShuttingDown; }

private:
  std::vector<std::unique_ptr<TInstanceListItem>> FItems;
  bool FShuttingDown = false;
};

// The global list, made on first use; after FreeInstanceList it raises EInstanceError.
TInstanceList* GetInstanceList();
void GetInstance(const TObjectFactory& factory, TObject*& instance);
// The lock of GetInstanceLocked, made on first use (the time counter's accessor takes it).
std::recursive_mutex& InstanceLock();
// GetInstance under the instance lock.
void GetInstanceLocked(const TObjectFactory& factory, TObject*& instance);
void LockInstances();
void UnlockInstances();
// Once, at the end of the program's main function and before COM is uninitialised:
// frees every service (last made first), then the instance lock.
void FreeInstanceList();
// The code the process ends with when a service must end it while the services are freed (a
// thread that still uses them cannot be waited for); the program sets its own first.
void SetShutdownExitCode(int code);
int ShutdownExitCode();

// The accessor pattern: the service behind its own instance variable. The registry keeps
// the factory's address, so it must be a static object.
template <class T>
T* GetServiceInstance(const TObjectFactory& factory, TObject*& instance) {
  GetInstance(factory, instance);
  return static_cast<T*>(instance);
}
