#include "vostik/uVostikServer.h"

#include <mutex>

#include "Tracer/foundation/uGuards.h"
#include "lib/dgn/windows/DgnHookExcept.h"

#include "vostik/uVostikDialects.h"

const CLSID CLSID_OraSQLAssembler = {0x3641B4E4, 0xBE72, 0x4E13, {0xB2, 0x2E, 0xF8, 0x90, 0x07, 0xA5, 0x6E, 0xB7}};
const CLSID CLSID_IBSQLAssembler = {0xB9366FED, 0x7433, 0x4119, {0x8C, 0x22, 0xFA, 0x8B, 0xED, 0xB7, 0x13, 0x4E}};
const CLSID CLSID_ODBCSQLAssembler = {0x949C2581, 0x91FA, 0x4493, {0x84, 0x16, 0xB9, 0x31, 0xB0, 0x6D, 0x1B, 0xCC}};
const CLSID CLSID_AdvSQLAssembler = {0x1EBA9319, 0x2565, 0x47BB, {0x8A, 0x55, 0x3D, 0xDB, 0x19, 0x50, 0xD8, 0xBC}};
const CLSID CLSID_SQLiteSQLAssembler = {0x472CD3BA, 0x685C, 0x4084, {0xBA, 0xFF, 0x5B, 0x57, 0xB5, 0x27, 0xFE, 0x5A}};
const CLSID CLSID_PostgreSQLAssembler = {0x8F854DE9, 0x0BBC, 0x4A70, {0x8F, 0x9F, 0x52, 0xE3, 0xEA, 0xDF, 0x7D, 0x32}};
const CLSID CLSID_SybaseSQLAssembler = {0x06805574, 0xCF87, 0x4705, {0x95, 0xCF, 0x56, 0xFC, 0xB4, 0x41, 0x4A, 0x7D}};
const CLSID CLSID_DB2SQLAssembler = {0x973A8DE6, 0x4C0F, 0x4A64, {0x92, 0xA6, 0x04, 0x49, 0xED, 0x29, 0xF4, 0xA9}};

namespace {

std::once_flag GInitOnce;
bool GInitialised = false;

void CreateFactories() {
  TMiniComServer& server = *GetMiniComServer();
  new TSQLAssemblerFactory<TOraSQLAssembler>(server, CLSID_OraSQLAssembler, L"OraSQLAssembler",
                                             L"Oracle SQL Assembler");
  new TSQLAssemblerFactory<TIBSQLAssembler>(server, CLSID_IBSQLAssembler, L"IBSQLAssembler",
                                            L"Interbase SQL Assembler");
  new TSQLAssemblerFactory<TODBCSQLAssembler>(server, CLSID_ODBCSQLAssembler, L"ODBCSQLAssembler",
                                              L"ODBC SQL Assembler");
  new TSQLAssemblerFactory<TAdvSQLAssembler>(server, CLSID_AdvSQLAssembler, L"AdvSQLAssembler",
                                             L"Advantage SQL Assembler");
  new TSQLAssemblerFactory<TSQLiteSQLAssembler>(server, CLSID_SQLiteSQLAssembler, L"SQLiteSQLAssembler",
                                                L"SQLite SQL Assembler");
  new TSQLAssemblerFactory<TPostgreSQLAssembler>(server, CLSID_PostgreSQLAssembler, L"PostgreSQLAssembler",
                                                 L"Postgre SQL Assembler");
  new TSQLAssemblerFactory<TSybaseSQLAssembler>(server, CLSID_SybaseSQLAssembler, L"SybaseSQLAssembler",
                                                L"Sybase SQL Assembler");
  new TSQLAssemblerFactory<TDB2SQLAssembler>(server, CLSID_DB2SQLAssembler, L"DB2SQLAssembler",
                                             L"DB2 SQL Assembler");
  GInitialised = true;
}

}  // namespace

void InitVostikServer() {
  // A fault in the library's code fails the call (error information, failed HRESULT) instead
  // of ending the host: the host's own conversion covers only its own module.
  InstallOsExceptionConversion();
  std::call_once(GInitOnce, CreateFactories);
}

void DoneVostikServer() {
  // The server object frees its factories and the type library with the instance list.
  if (GInitialised) FreeInstanceList();
}

HRESULT VostikGetClassObject(REFCLSID classId, REFIID riid, void** obj) noexcept {
  if (obj) *obj = nullptr;
  return ExportGuard<HRESULT>(E_UNEXPECTED, [&] {
    InitVostikServer();
    return DllGetClassObject(classId, riid, obj);
  });
}

HRESULT VostikCanUnloadNow() noexcept {
  TMiniComServer* server = TMiniComServer::Current();
  if (server && (server->ObjectCount() != 0 || server->FactoryCount() != 0)) return S_FALSE;
  return S_OK;
}

namespace {

// Every failure (registry, type library) is E_FAIL and nothing else.
HRESULT UpdateRegistration(bool registering) noexcept {
  return ExportGuard<HRESULT>(E_FAIL, [registering] {
    InitVostikServer();
    GetMiniComServer()->UpdateRegistration(registering);
    return S_OK;
  });
}

}  // namespace

HRESULT VostikRegisterServer() noexcept { return UpdateRegistration(true); }

HRESULT VostikUnregisterServer() noexcept { return UpdateRegistration(false); }
