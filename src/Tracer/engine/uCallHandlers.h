// Call handlers: code run with a call's parameters after the traced function returned, before
// the call is logged. "stdcall://Export@Handler.dll?query" calls an export of a handler library;
// "script://Function@file.js?include=lib.js" a JScript or VBScript function through the Script
// Control. Registry: protocol -> module (file) -> handler (function).
#pragma once
#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/foundation/uCollections.h"
#include "Tracer/engine/uScriptControl.h"
#include "Tracer/foundation/uSingletons.h"
#include "lib/dgn/windows/DgnHandle.h"

// Internal: run with the call's parameter list; raises on failure.
struct ICallHandler : public IUnknown {
  virtual void Execute(ITracerEventParams* params) = 0;
};
__CRT_UUID_DECL(ICallHandler, 0x4564DD75, 0xED16, 0x4937, 0x87, 0x65, 0x5F, 0x18, 0xB7, 0xF2, 0xAC,
                0x5F)

using TCallHandlerRef = TComPtr<ICallHandler>;

class TCallHandlerModule;
class TCallHandlerProtocol;

// One function of a module; the module lives while it has handlers.
class TCallHandler : public TInterfacedObject, public ICallHandler {
public:
  TCallHandler(const std::wstring& functionName, TCallHandlerModule* module);
  ~TCallHandler() override;
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;

  const std::wstring& FunctionName() const { return FFunctionName; }
  TCallHandlerModule* Module() const { return FModule; }

private:
  std::wstring FFunctionName;
  TCallHandlerModule* FModule;
};

class TCallHandlerModule : public TObject {
public:
  TCallHandlerModule(const std::wstring& name, TCallHandlerProtocol* protocol);
  ~TCallHandlerModule() override;

  virtual TCallHandlerRef CreateHandler(const std::wstring& functionName) = 0;
  // Forgets what belongs to one trace.
  virtual void Reset() {}
  virtual void ApplyQuery(const std::wstring& query) = 0;

  // The registered handler, else a new one.
  TCallHandlerRef GetHandler(const std::wstring& functionName);
  const std::wstring& Name() const { return FName; }
  TCallHandlerProtocol* Protocol() const { return FProtocol; }
  bool HasHandlers() const { return !FHandlers.empty(); }

private:
  friend class TCallHandler;
  std::wstring FName;
  std::map<std::wstring, TCallHandler*> FHandlers;  // not owning
  TCallHandlerProtocol* FProtocol;
};

class TCallHandlerProtocol : public TObject {
public:
  explicit TCallHandlerProtocol(const std::wstring& name) : FName(name) {}
  ~TCallHandlerProtocol() override;

  virtual TCallHandlerModule* CreateModule(const std::wstring& name, const std::wstring& query) = 0;
  // The registered module with the query applied, else a new one.
  TCallHandlerModule* GetModule(const std::wstring& name, const std::wstring& query);
  const std::wstring& Name() const { return FName; }
  // Every module at this moment (under the registry lock).
  std::vector<TCallHandlerModule*> ModuleList();

private:
  friend class TCallHandlerModule;
  std::wstring FName;
  std::map<std::wstring, TCallHandlerModule*> FModules;  // not owning
};

class TCallHandlerProtocols : public TQStringBucketList {
public:
  TCallHandlerProtocols();
  bool FindProtocol(const std::wstring& name, TCallHandlerProtocol*& protocol) const;
  void AddProtocol(TCallHandlerProtocol* protocol);
  const std::vector<TCallHandlerProtocol*>& Items() const { return FItems; }

private:
  std::vector<TCallHandlerProtocol*> FItems;
};

// ---- stdcall -----------------------------------------------------------------------------------

class TStdCallHandlerProtocol : public TCallHandlerProtocol {
public:
  TStdCallHandlerProtocol() : TCallHandlerProtocol(L"stdcall") {}
  TCallHandlerModule* CreateModule(const std::wstring& name, const std::wstring& query) override;
};

class TStdCallHandlerModule : public TCallHandlerModule {
public:
  TStdCallHandlerModule(const std::wstring& name, TCallHandlerProtocol* protocol,
                        const std::wstring& query);
  ~TStdCallHandlerModule() override;
  TCallHandlerRef CreateHandler(const std::wstring& functionName) override;
  void ApplyQuery(const std::wstring& query) override;
  HMODULE LibHandle() const { return FLib.Get(); }

private:
  TDgnModule FLib;
};

class TStdCallHandler : public TCallHandler {
public:
  TStdCallHandler(const std::wstring& functionName, TCallHandlerModule* module, FARPROC procAddress);
  void Execute(ITracerEventParams* params) override;

private:
  FARPROC FProcAddress;
};

// ---- script ------------------------------------------------------------------------------------

class TScriptCallHandlerProtocol : public TCallHandlerProtocol {
public:
  TScriptCallHandlerProtocol();
  TCallHandlerModule* CreateModule(const std::wstring& name, const std::wstring& query) override;
};

class TScriptCallHandlerModule : public TCallHandlerModule {
public:
  TScriptCallHandlerModule(const std::wstring& name, TCallHandlerProtocol* protocol,
                           const std::wstring& query);
  // A script engine made on a debugging thread is released there: freed elsewhere (the last
  // symbol file unloaded during a trace), the module hands it to that thread's EndTrace.
  ~TScriptCallHandlerModule() override;
  TCallHandlerRef CreateHandler(const std::wstring& functionName) override;
  void Reset() override;
  void ApplyQuery(const std::wstring& query) override;

  // Reads the file's lines and appends them to the code; once per file and module.
  void AddScriptFile(const std::wstring& fileName);
  IScriptControl* GetScriptControl();
  // Calls the Script Control as a handler (PluginCallGuard); a failure raises with the
  // control's own description of it.
  void CallScriptControl(const std::function<HRESULT()>& call);
  // Adds the Script Control's error details (number, location, source line) to the message.
  void AppendScriptError(Exception& e);

  std::vector<std::wstring> Code() const;
  std::wstring Language() const;
  // Script engines this module holds, one per thread that ran it and has not ended its trace.
  size_t ScriptEngineCount();

private:
  // The main thread adds files while the debugging thread compiles and reports.
  mutable std::mutex FCodeLock;
  std::vector<std::wstring> FCode;
  std::wstring FLanguage;
  // One engine per debugging thread (by ScriptEngineKey): a thread given up on may still run
  // inside its own while the next trace runs the same module.
  TComPtr<IScriptControl>& OwnScriptControl();
  std::mutex FControlsLock;
  std::map<DWORD, TComPtr<IScriptControl>> FScriptControls;
  std::set<std::wstring> FLoadedFiles;  // upper-case full paths
};

class TScriptCallHandler : public TCallHandler {
public:
  using TCallHandler::TCallHandler;
  void Execute(ITracerEventParams* params) override;
};

// ---- engine ------------------------------------------------------------------------------------

class TCallHandlerEngine : public TObject {
public:
  class TFactory;
  TCallHandlerEngine();
  ~TCallHandlerEngine() override;

  // Resolves a handler URL; raises when it cannot (the symbol file then stays unloaded).
  TCallHandlerRef GetHandler(const std::wstring& url);
  void ExecuteHandler(ICallHandler* handler, ITracerEventParams* params);
  void BeginTrace() {}
  // Every module forgets the calling thread's per-trace state (its script engines are
  // released), and its engines of modules freed on another thread are released here.
  void EndTrace();
  TCallHandlerProtocols& Protocols() { return FProtocols; }
  // A script engine to release on the thread that ends the trace (by ScriptEngineKey).
  void ReleaseAtEndOfTrace(DWORD threadKey, TComPtr<IScriptControl> control);
  size_t PendingReleases();

private:
  TCallHandlerProtocols FProtocols;
  // By the thread that made them; under the registry lock.
  std::vector<std::pair<DWORD, TComPtr<IScriptControl>>> FPendingReleases;
};

TCallHandlerEngine* GetCallHandlerEngine();

// Guards the registry's lists: handlers are made and freed on the main thread while the
// debugging thread resets the modules at the end of a trace.
std::recursive_mutex& CallHandlerRegistryLock();

// The calling thread's own number for the script engines it makes: thread ids are reused by
// the system, and a later thread must never be handed an engine of one that was given up on.
DWORD ScriptEngineKey();

// A module file: a name with "\" as it is, else in "symbols\" beside the program.
std::wstring ModulePath(const std::wstring& name);

// Warns once (message box) when the installed JScript is older than 5.6.
void CheckScriptingRuntime();
