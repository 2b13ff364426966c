// Vostik's COM server: the eight class factories of the assemblers, made on the first call of
// an export, and the bodies of the library's exports.
#pragma once
#include <windows.h>

#include <string>

#include "Tracer/com/uMiniComServer.h"
#include "vostik/uVostikBase.h"

// Class ids of the eight assemblers.
extern const CLSID CLSID_OraSQLAssembler;
extern const CLSID CLSID_IBSQLAssembler;
extern const CLSID CLSID_ODBCSQLAssembler;
extern const CLSID CLSID_AdvSQLAssembler;
extern const CLSID CLSID_SQLiteSQLAssembler;
extern const CLSID CLSID_PostgreSQLAssembler;
extern const CLSID CLSID_SybaseSQLAssembler;
extern const CLSID CLSID_DB2SQLAssembler;

// Factory of one assembler class: each request makes a new, initialised assembler.
template <class T>
class TSQLAssemblerFactory : public TComObjectFactory {
public:
  TSQLAssemblerFactory(TComServerObject& server, REFCLSID classId, const wchar_t* className,
                       const wchar_t* description)
      : TComObjectFactory(server, classId, className, description, TComInstancing::SingleInstance,
                          TComThreadingModel::Apartment) {}

protected:
  IUnknown* CreateComObject() override { return static_cast<IAppPlugin*>(NewSQLAssembler<T>()); }
};

// The server object and the eight factories, once per process (later calls do nothing).
void InitVostikServer();
// Frees them when the library is unloaded.
void DoneVostikServer();

// The exports' bodies; none lets an exception out.
HRESULT VostikGetClassObject(REFCLSID classId, REFIID riid, void** obj) noexcept;
HRESULT VostikCanUnloadNow() noexcept;
HRESULT VostikRegisterServer() noexcept;
HRESULT VostikUnregisterServer() noexcept;
