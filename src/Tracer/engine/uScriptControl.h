// The Script Control's interfaces, declared by hand (the toolchain ships no header for them).
// Slot order follows the control's own type library; a test compares it with that library.
#pragma once
#include <windows.h>
#include <oaidl.h>

// Script Control class and the two interfaces the call handlers use.
inline const CLSID CLSID_ScriptControl = {
    0x0E59F1D5, 0x1FBE, 0x11D0, {0x8F, 0xF2, 0x00, 0xA0, 0xD1, 0x00, 0x38, 0xBC}};

struct IScriptError : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Number(LONG* plNumber) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Source(BSTR* pbstrSource) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* pbstrDescription) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_HelpFile(BSTR* pbstrHelpFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_HelpContext(LONG* plHelpContext) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Text(BSTR* pbstrText) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Line(LONG* plLine) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Column(LONG* plColumn) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clear() = 0;
};
__CRT_UUID_DECL(IScriptError, 0x70841C78, 0x067D, 0x11D0, 0x95, 0xD8, 0x00, 0xA0, 0x24, 0x63, 0xAB,
                0x28)

struct IScriptControl : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Language(BSTR* pbstrLanguage) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Language(BSTR pbstrLanguage) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_State(LONG* pssState) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_State(LONG pssState) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SitehWnd(LONG* phwnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SitehWnd(LONG phwnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Timeout(LONG* plMilleseconds) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Timeout(LONG plMilleseconds) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AllowUI(VARIANT_BOOL* pfAllowUI) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AllowUI(VARIANT_BOOL pfAllowUI) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_UseSafeSubset(VARIANT_BOOL* pfUseSafeSubset) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UseSafeSubset(VARIANT_BOOL pfUseSafeSubset) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Modules(IDispatch** ppmods) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Error(IScriptError** ppse) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_CodeObject(IDispatch** ppdispObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Procedures(IDispatch** ppdispProcedures) = 0;
  virtual HRESULT STDMETHODCALLTYPE _AboutBox() = 0;
  virtual HRESULT STDMETHODCALLTYPE AddObject(BSTR Name, IDispatch* Object,
                                              VARIANT_BOOL AddMembers) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE AddCode(BSTR Code) = 0;
  virtual HRESULT STDMETHODCALLTYPE Eval(BSTR Expression, VARIANT* pvarResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecuteStatement(BSTR Statement) = 0;
  virtual HRESULT STDMETHODCALLTYPE Run(BSTR ProcedureName, SAFEARRAY** Parameters,
                                        VARIANT* pvarResult) = 0;
};
__CRT_UUID_DECL(IScriptControl, 0x0E59F1D3, 0x1FBE, 0x11D0, 0x8F, 0xF2, 0x00, 0xA0, 0xD1, 0x00,
                0x38, 0xBC)
