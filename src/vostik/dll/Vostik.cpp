// The plug-in library's entry: its exports by ordinal (Vostik.def). The class factories are made
// on the first export call, not while the loader holds its lock.
#include <windows.h>

#include "Tracer/foundation/uGuards.h"
#include "vostik/uVostikServer.h"

extern "C" HRESULT WINAPI VostikDllGetClassObject(REFCLSID classId, REFIID riid, void** obj) {
  return VostikGetClassObject(classId, riid, obj);
}

extern "C" HRESULT WINAPI VostikDllCanUnloadNow() { return VostikCanUnloadNow(); }

extern "C" HRESULT WINAPI VostikDllRegisterServer() { return VostikRegisterServer(); }

extern "C" HRESULT WINAPI VostikDllUnregisterServer() { return VostikUnregisterServer(); }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // Unloaded by FreeLibrary (not at process end): nothing of ours may stay behind.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    ExportGuard<bool>(false, [] {
      DoneVostikServer();
      return true;
    });
  }
  return TRUE;
}
