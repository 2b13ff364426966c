// The module's COM server object: the type library, object and factory counts, the class
// factories of the module and their registration, the "REGSERVER"/"UNREGSERVER" switches and
// the exported DllGetClassObject. The program's classes are created in-process only.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uSingletons.h"
#include "lib/rtl/SysUtils.h"

// The server-wide facts the class factories and automation objects consult.
class TComServerObject : public TObject {
public:
  // Atomic increment (created) or decrement of the count; answers the new count.
  virtual int32_t TrackObject(bool created) = 0;
  virtual int32_t TrackFactory(bool created) = 0;
  virtual std::wstring HelpFileName() = 0;
  virtual std::wstring ServerFileName() = 0;
  virtual std::wstring ServerKey() = 0;
  virtual std::wstring ServerName() = 0;
  virtual bool StartSuspended() = 0;
  // The loaded type library; the server keeps it alive (no reference is added for the caller).
  virtual ITypeLib* TypeLib() = 0;
  virtual void SetHelpFile(const std::wstring& value) = 0;
};

enum class TComInstancing { Internal, SingleInstance, MultiInstance };
enum class TComThreadingModel { Single, Apartment, Free, Both, Neutral };

// Class factory of one class of the module. It registers itself with the class manager when
// made and leaves it when freed; the server object frees the factories still registered.
// References handed to COM are counted as the server's factory count; they never free it.
class TComObjectFactory : public IClassFactory {
public:
  TComObjectFactory(TComServerObject& server, REFCLSID classId, std::wstring className, std::wstring description,
                    TComInstancing instancing, TComThreadingModel threadingModel);
  virtual ~TComObjectFactory();
  TComObjectFactory(const TComObjectFactory&) = delete;
  TComObjectFactory& operator=(const TComObjectFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** obj) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** obj) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  const CLSID& ClassID() const { return FClassId; }
  virtual std::wstring ClassName() { return FClassName; }
  virtual std::wstring Description() { return FDescription; }
  TComInstancing Instancing() const { return FInstancing; }
  TComThreadingModel ThreadingModel() const { return FThreadingModel; }
  // The server name, a point and the class name.
  std::wstring ProgID();
  // Writes (registering) or removes the class's keys under HKEY_CLASSES_ROOT: the class id
  // with the description, "InprocServer32" (server key) naming the module file with the
  // threading model, the ProgID both ways. Raises when a key cannot be written.
  virtual void UpdateRegistry(bool registering);
  TComServerObject& ComServer() { return FServer; }

protected:
  // A new object of the class, holding no reference yet.
  virtual IUnknown* CreateComObject() = 0;

private:
  TComServerObject& FServer;
  CLSID FClassId;
  std::wstring FClassName;
  std::wstring FDescription;
  TComInstancing FInstancing;
  TComThreadingModel FThreadingModel;
};

// The process-wide list of class factories, looked up by class id.
class TComClassManager {
public:
  static TComClassManager& Instance();
  void AddObjectFactory(TComObjectFactory* factory);
  void RemoveObjectFactory(TComObjectFactory* factory);
  TComObjectFactory* GetFactoryFromClassID(REFCLSID classId);
  // The factories in order of creation (a copy: a callback may free one).
  std::vector<TComObjectFactory*> Factories();

private:
  TComClassManager() = default;
  std::vector<TComObjectFactory*> FFactories;
  std::mutex FLock;
};

// The COM initialisation mode of the process, set by start-up.
extern DWORD CoInitFlags;

// Start mode read from the command line.
constexpr uint8_t smNormal = 0;
constexpr uint8_t smRegister = 1;
constexpr uint8_t smUnregister = 2;

class TMiniComServer : public TComServerObject {
public:
  TMiniComServer();
  ~TMiniComServer() override;
  TMiniComServer(const TMiniComServer&) = delete;
  TMiniComServer& operator=(const TMiniComServer&) = delete;

  int32_t TrackObject(bool created) override;
  int32_t TrackFactory(bool created) override;
  std::wstring HelpFileName() override;
  std::wstring ServerFileName() override;
  std::wstring ServerKey() override;
  std::wstring ServerName() override;
  bool StartSuspended() override;
  ITypeLib* TypeLib() override;
  void SetHelpFile(const std::wstring& value) override;

  // Start-up: COM for the calling thread, then the registration switches (which end the
  // process with exit code 0).
  void Initialize();
  void UpdateRegistration(bool registering);
  void EnsureTypeLib();

  // Empty: the module's own file carries the type library. Start-up sets the program folder
  // + "\Calderwisp.tlb"; a test program sets the file built beside it (TestBinDir()).
  const std::wstring& TypeLibFileName() const { return FTypeLibFileName; }
  void SetTypeLibFileName(const std::wstring& value) { FTypeLibFileName = value; }
  uint8_t StartMode() const { return FStartMode; }
  int32_t ObjectCount() const { return FObjectCount; }
  int32_t FactoryCount() const { return FFactoryCount; }
  bool Registering() const { return FRegistering; }

  // The start mode the command-line parameters (without the program name) select: a
  // parameter that is "-" or "/" followed by the switch in any letter case, "REGSERVER" first.
  static uint8_t StartModeOfParams(const std::vector<std::wstring>& params);
  // The module's server object (the first one made) while it lives, or nullptr: objects that
  // outlive it stop counting.
  static TMiniComServer* Current() { return FCurrent; }

  using TFactory = TServiceFactory<TMiniComServer, TSimpleObjectFactory>;

private:
  std::atomic<int32_t> FObjectCount{0};
  std::atomic<int32_t> FFactoryCount{0};
  std::mutex FTypeLibLock;
  TComPtr<ITypeLib> FTypeLib;
  std::wstring FTypeLibFileName;
  uint8_t FStartMode = smNormal;
  bool FRegistering = false;

  static std::atomic<TMiniComServer*> FCurrent;

  // The library when it is loaded, else nil (never loads it).
  ITypeLib* LoadedTypeLib();
};

// The module's server object, made on first use.
TMiniComServer* GetMiniComServer();

// Registry of the program's classes; exported undecorated through the module's .def file.
extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID riid, void** obj);
