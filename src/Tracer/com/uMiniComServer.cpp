#include "Tracer/com/uMiniComServer.h"

#include <shellapi.h>

#include <algorithm>

#include "Tracer/com/uAutoObject.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnHandle.h"
#include "lib/dgn/windows/DgnSysUtils.h"

DWORD CoInitFlags = COINIT_APARTMENTTHREADED;

std::atomic<TMiniComServer*> TMiniComServer::FCurrent{nullptr};

namespace {

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

void CheckRegistry(LSTATUS status) {
  if (status != ERROR_SUCCESS) OleCheck(HRESULT_FROM_WIN32(status));
}

// Creates HKEY_CLASSES_ROOT\key and sets one value (name empty: the default value).
void WriteClassesKey(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
  TDgnRegKey handle;
  CheckRegistry(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                nullptr, handle.Put(), nullptr));
  CheckRegistry(RegSetValueExW(handle.Get(), name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

void DeleteClassesTree(const std::wstring& key) {
  LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (status == ERROR_SUCCESS) status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  if (status != ERROR_FILE_NOT_FOUND && status != ERROR_SUCCESS) CheckRegistry(status);
}

const wchar_t* ThreadingModelName(TComThreadingModel model) {
  switch (model) {
    case TComThreadingModel::Apartment: return L"Apartment";
    case TComThreadingModel::Free: return L"Free";
    case TComThreadingModel::Both: return L"Both";
    case TComThreadingModel::Neutral: return L"Neutral";
    default: return L"";
  }
}

}  // namespace

// ---- TComObjectFactory

TComObjectFactory::TComObjectFactory(TComServerObject& server, REFCLSID classId, std::wstring className,
                                     std::wstring description, TComInstancing instancing,
                                     TComThreadingModel threadingModel)
    : FServer(server),
      FClassId(classId),
      FClassName(std::move(className)),
      FDescription(std::move(description)),
      FInstancing(instancing),
      FThreadingModel(threadingModel) {
  TComClassManager::Instance().AddObjectFactory(this);
}

TComObjectFactory::~TComObjectFactory() { TComClassManager::Instance().RemoveObjectFactory(this); }

HRESULT STDMETHODCALLTYPE TComObjectFactory::QueryInterface(REFIID riid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  *obj = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE TComObjectFactory::AddRef() { return static_cast<ULONG>(FServer.TrackFactory(true)); }

ULONG STDMETHODCALLTYPE TComObjectFactory::Release() { return static_cast<ULONG>(FServer.TrackFactory(false)); }

HRESULT STDMETHODCALLTYPE TComObjectFactory::CreateInstance(IUnknown* outer, REFIID riid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return ComMethodGuard(IID_IClassFactory, [&] {
    // Our reference keeps the new object alive across the query; a refused query frees it.
    TComPtr<IUnknown> created(CreateComObject());
    OleCheck(created->QueryInterface(riid, obj));
  });
}

HRESULT STDMETHODCALLTYPE TComObjectFactory::LockServer(BOOL lock) {
  FServer.TrackObject(lock != FALSE);
  return S_OK;
}

std::wstring TComObjectFactory::ProgID() { return FServer.ServerName() + L"." + ClassName(); }

void TComObjectFactory::UpdateRegistry(bool registering) {
  if (FInstancing == TComInstancing::Internal) return;
  const std::wstring classKey = L"CLSID\\" + GuidText(FClassId);
  const std::wstring progId = ProgID();
  if (registering) {
    WriteClassesKey(classKey, L"", Description());
    WriteClassesKey(classKey + L"\\" + FServer.ServerKey(), L"", FServer.ServerFileName());
    if (FThreadingModel != TComThreadingModel::Single)
      WriteClassesKey(classKey + L"\\" + FServer.ServerKey(), L"ThreadingModel", ThreadingModelName(FThreadingModel));
    WriteClassesKey(classKey + L"\\ProgID", L"", progId);
    WriteClassesKey(progId, L"", Description());
    WriteClassesKey(progId + L"\\Clsid", L"", GuidText(FClassId));
  } else {
    DeleteClassesTree(progId);
    DeleteClassesTree(classKey);
  }
}

// ---- TComClassManager

TComClassManager& TComClassManager::Instance() {
  static TComClassManager manager;
  return manager;
}

void TComClassManager::AddObjectFactory(TComObjectFactory* factory) {
  std::lock_guard<std::mutex> lock(FLock);
  FFactories.push_back(factory);
}

void TComClassManager::RemoveObjectFactory(TComObjectFactory* factory) {
  std::lock_guard<std::mutex> lock(FLock);
  FFactories.erase(std::remove(FFactories.begin(), FFactories.end(), factory), FFactories.end());
}

TComObjectFactory* TComClassManager::GetFactoryFromClassID(REFCLSID classId) {
  std::lock_guard<std::mutex> lock(FLock);
  for (TComObjectFactory* f : FFactories)
    if (IsEqualCLSID(f->ClassID(), classId)) return f;
  return nullptr;
}

std::vector<TComObjectFactory*> TComClassManager::Factories() {
  std::lock_guard<std::mutex> lock(FLock);
  return FFactories;
}

// ---- TMiniComServer

TMiniComServer::TMiniComServer() {
  std::vector<std::wstring> params;
  int count = 0;
  if (LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) params.emplace_back(args[i]);
    LocalFree(args);
  }
  FStartMode = StartModeOfParams(params);
  TMiniComServer* none = nullptr;
  FCurrent.compare_exchange_strong(none, this);
}

TMiniComServer::~TMiniComServer() {
  TMiniComServer* self = this;
  FCurrent.compare_exchange_strong(self, nullptr);
  for (TComObjectFactory* factory : TComClassManager::Instance().Factories())
    if (&factory->ComServer() == this) delete factory;
}

uint8_t TMiniComServer::StartModeOfParams(const std::vector<std::wstring>& params) {
  auto found = [&](const wchar_t* name) {
    for (const std::wstring& p : params)
      if (p.size() > 1 && (p[0] == L'-' || p[0] == L'/') &&
          CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, p.c_str() + 1, -1, name, -1) == CSTR_EQUAL)
        return true;
    return false;
  };
  if (found(L"REGSERVER")) return smRegister;
  if (found(L"UNREGSERVER")) return smUnregister;
  return smNormal;
}

int32_t TMiniComServer::TrackObject(bool created) { return created ? ++FObjectCount : --FObjectCount; }

int32_t TMiniComServer::TrackFactory(bool created) { return created ? ++FFactoryCount : --FFactoryCount; }

std::wstring TMiniComServer::HelpFileName() { return std::wstring(); }

// The file of the module holding this code (the program, or the library that links us).
std::wstring TMiniComServer::ServerFileName() { return ModuleFilePath(RuntimeModuleHandle()); }

std::wstring TMiniComServer::ServerKey() { return L"InprocServer32"; }

std::wstring TMiniComServer::ServerName() {
  if (ITypeLib* lib = LoadedTypeLib()) {
    TBStr name;
    OleCheck(lib->GetDocumentation(-1, name.Put(), nullptr, nullptr, nullptr));
    return name.Str();
  }
  return WideChangeFileExt(WideExtractFileName(ServerFileName()), L"");
}

bool TMiniComServer::StartSuspended() { return false; }

ITypeLib* TMiniComServer::TypeLib() {
  EnsureTypeLib();
  return LoadedTypeLib();
}

ITypeLib* TMiniComServer::LoadedTypeLib() {
  std::lock_guard<std::mutex> lock(FTypeLibLock);
  return FTypeLib.Get();
}

void TMiniComServer::SetHelpFile(const std::wstring&) { throw Exception(L"Not implemented"); }

void TMiniComServer::Initialize() {
  OleCheck(CoInitializeEx(nullptr, CoInitFlags));
  if (FStartMode == smRegister || FStartMode == smUnregister) {
    UpdateRegistration(FStartMode == smRegister);
    ExitProcess(0);
  }
}

void TMiniComServer::UpdateRegistration(bool registering) {
  EnsureTypeLib();
  ITypeLib* lib = LoadedTypeLib();
  if (registering) {
    std::wstring path = FTypeLibFileName.empty() ? ServerFileName() : FTypeLibFileName;
    std::wstring helpDir = WideExtractFilePath(path);
    OleCheck(RegisterTypeLib(lib, const_cast<LPOLESTR>(path.c_str()), const_cast<LPOLESTR>(helpDir.c_str())));
  } else {
    TLIBATTR* attr = nullptr;
    OleCheck(lib->GetLibAttr(&attr));
    UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    lib->ReleaseTLibAttr(attr);
  }
  FRegistering = registering;
  for (TComObjectFactory* factory : TComClassManager::Instance().Factories())
    if (factory->Instancing() != TComInstancing::Internal) factory->UpdateRegistry(registering);
}

void TMiniComServer::EnsureTypeLib() {
  // Loaded once; concurrent first callers wait for the one that loads it.
  std::lock_guard<std::mutex> lock(FTypeLibLock);
  if (FTypeLib) return;
  std::wstring path = FTypeLibFileName.empty() ? ServerFileName() : FTypeLibFileName;
  try {
    OleCheck(LoadTypeLibEx(path.c_str(), REGKIND_NONE, FTypeLib.Put()));
  } catch (Exception& e) {
    // The system's text alone does not say which file is missing.
    PrependExceptionLine(e, L"Error loading " + path);
    throw;
  }
}

TMiniComServer* GetMiniComServer() {
  static TObject* instance = nullptr;
  static const TMiniComServer::TFactory factory;
  return GetServiceInstance<TMiniComServer>(factory, instance);
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID riid, void** obj) {
  if (!obj) return E_POINTER;
  *obj = nullptr;
  return ExportGuard(E_UNEXPECTED, [&] {
    TComObjectFactory* factory = TComClassManager::Instance().GetFactoryFromClassID(classId);
    if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
    return factory->QueryInterface(riid, obj);
  });
}
