// C++ declarations of the interfaces in Calderwisp.tlb (built from Calderwisp.idl). Written by
// hand because widl's generated headers clash with mingw's. The order of the methods is the
// vtable order and must match the type library slot by slot: a test checks every method.
//
// Each interface names its parent as `Parent`, so an implementation can answer queries for the
// whole chain (a typedef adds nothing to the layout).
#pragma once
#include <windows.h>
#include <oaidl.h>

// Library, version and the creatable dictionary class.
inline constexpr GUID LIBID_Calderwisp = {0x6A75BD30, 0x7305, 0x4444, {0x9F, 0xF0, 0x07, 0x17, 0xA5, 0xF9, 0x1F, 0xE0}};
inline constexpr WORD CalderwispMajorVersion = 2;
inline constexpr WORD CalderwispMinorVersion = 6;
inline constexpr GUID CLSID_Dictionary = {0x81D5DEC8, 0x495E, 0x48B7, {0x91, 0x1F, 0xBA, 0x59, 0x93, 0x79, 0xF2, 0xF7}};

struct ITracerEventParam;
struct ITracerEventParams;
struct ITracerEvent;
struct ITracerEvents;
struct IVisibleTracerEvents;
struct IAppSettings;
struct IDebuggeeMemory;
struct IAppPluginActions;
struct IAppPluginAction;
struct IAppObject;

struct IDebuggeeMemory : public IDispatch {
  using Parent = IDispatch;
  virtual HRESULT STDMETHODCALLTYPE ReadInteger(LONG Address, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadWord(LONG Address, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadCurrency(LONG Address, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadSingle(LONG Address, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadDouble(LONG Address, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadBytes(LONG Address, LONG Length, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadAnsiStringZ(LONG Address, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadAnsiString(LONG Address, LONG Length, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadWideStringZ(LONG Address, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadWideString(LONG Address, LONG Length, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadDWord(LONG Address, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadByte(LONG Address, VARIANT* Value) = 0;
};
__CRT_UUID_DECL(IDebuggeeMemory, 0xD52303F3, 0x7C0A, 0x409E, 0xB4, 0x25, 0x10, 0xF8, 0xCB, 0x86, 0x17, 0x48)

struct ITracerEventParam : public IDispatch {
  using Parent = IDispatch;
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* Name) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Name(BSTR Name) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Value(VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Value(VARIANT Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* Visible) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL Visible) = 0;
};
__CRT_UUID_DECL(ITracerEventParam, 0x44A5E14F, 0xB13A, 0x4655, 0x90, 0x51, 0xB8, 0x59, 0x5A, 0x64, 0x84, 0x9E)

struct ITracerEventParams : public IDispatch {
  using Parent = IDispatch;
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* Count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG Index, ITracerEventParam** Param) = 0;
  virtual HRESULT STDMETHODCALLTYPE Add(BSTR Name, ITracerEventParam** Param) = 0;
  virtual HRESULT STDMETHODCALLTYPE Find(BSTR Name, ITracerEventParam** Param) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Values(VARIANT* Values) = 0;
};
__CRT_UUID_DECL(ITracerEventParams, 0x23E4B601, 0x6D6A, 0x49D3, 0x9E, 0xB3, 0x3A, 0x9A, 0xFC, 0x0E, 0x3E, 0xE0)

struct ITracerEvent : public IDispatch {
  using Parent = IDispatch;
  virtual HRESULT STDMETHODCALLTYPE get_Text(BSTR* Text) = 0;
};
__CRT_UUID_DECL(ITracerEvent, 0x7BC7735B, 0x8A12, 0x4CA5, 0x8C, 0x6D, 0xE0, 0x60, 0xC2, 0xAF, 0x00, 0x08)

struct IParamTracerEvent : public ITracerEvent {
  using Parent = ITracerEvent;
  virtual HRESULT STDMETHODCALLTYPE get_Params(ITracerEventParams** Params) = 0;
};
__CRT_UUID_DECL(IParamTracerEvent, 0x0A46B565, 0x8E13, 0x48BF, 0xB9, 0x04, 0xC2, 0x02, 0x6C, 0xB7, 0xCB, 0xD3)

struct IErrorTracerEvent : public IParamTracerEvent {
  using Parent = IParamTracerEvent;
};
__CRT_UUID_DECL(IErrorTracerEvent, 0xF925E2FB, 0xDEC8, 0x4B4A, 0x8B, 0xFD, 0xAF, 0x70, 0x7D, 0x83, 0xBE, 0xCD)

struct ICallTracerEvent : public IParamTracerEvent {
  using Parent = IParamTracerEvent;
  virtual HRESULT STDMETHODCALLTYPE get_ThreadId(LONG* ThreadId) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Time(double* Time) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Result(VARIANT* Result) = 0;
};
__CRT_UUID_DECL(ICallTracerEvent, 0x2F197386, 0x32B4, 0x4989, 0x93, 0x88, 0x1C, 0xCF, 0x73, 0x69, 0x9F, 0x88)

struct ITracerEvents : public IDispatch {
  using Parent = IDispatch;
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* Count) = 0;
  virtual HRESULT STDMETHODCALLTYPE Item(LONG Index, ITracerEvent** Event) = 0;
  virtual HRESULT STDMETHODCALLTYPE IndexOf(ITracerEvent* Event, LONG* Index) = 0;
};
__CRT_UUID_DECL(ITracerEvents, 0x4F0F9DCD, 0x6077, 0x4F8D, 0xA6, 0xAE, 0x6F, 0x26, 0xF2, 0xAF, 0x5A, 0x48)

struct IVisibleTracerEvents : public ITracerEvents {
  using Parent = ITracerEvents;
  virtual HRESULT STDMETHODCALLTYPE get_FocusedIndex(LONG* Index) = 0;
};
__CRT_UUID_DECL(IVisibleTracerEvents, 0x73F2D9AB, 0xBF7B, 0x4CC1, 0x9D, 0xF7, 0xD6, 0x86, 0xE5, 0x6D, 0x65, 0xCD)

struct IAppObject : public IDispatch {
  using Parent = IDispatch;
  virtual HRESULT STDMETHODCALLTYPE get_PluginActions(IAppPluginActions** Actions) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AllEvents(ITracerEvents** Events) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_VisibleEvents(IVisibleTracerEvents** Events) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MainWindowHandle(LONG* Handle) = 0;
  virtual HRESULT STDMETHODCALLTYPE ShowHelp(BSTR Topic) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Settings(IAppSettings** Settings) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MemoryManager(IDebuggeeMemory** Memory) = 0;
};
__CRT_UUID_DECL(IAppObject, 0xD4EC63C3, 0x495F, 0x4254, 0x97, 0xD5, 0x89, 0x49, 0xF9, 0x0D, 0x10, 0x34)

struct IAppSettings : public IDispatch {
  using Parent = IDispatch;
  virtual HRESULT STDMETHODCALLTYPE GetValue(BSTR Name, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetValue(BSTR Name, VARIANT Value) = 0;
};
__CRT_UUID_DECL(IAppSettings, 0x00F8247E, 0x5326, 0x4252, 0xBB, 0x23, 0xBD, 0x19, 0xC9, 0x7D, 0xE8, 0xDD)

struct IAppDictionary : public IDispatch {
  using Parent = IDispatch;
  virtual HRESULT STDMETHODCALLTYPE Put(VARIANT Key, VARIANT Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Get(VARIANT Key, VARIANT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove(VARIANT Key) = 0;
};
__CRT_UUID_DECL(IAppDictionary, 0x75655DB4, 0x4FCA, 0x4829, 0xB0, 0x81, 0x00, 0x68, 0x01, 0x3F, 0x6F, 0x3E)

// The plug-in contract: plain COM interfaces, no HRESULT. An implementation must let no
// exception out of these methods.
struct IAppPlugin : public IUnknown {
  using Parent = IUnknown;
  virtual void STDMETHODCALLTYPE Connect(IAppObject* App) = 0;
};
__CRT_UUID_DECL(IAppPlugin, 0x8FC5D657, 0x0734, 0x44B6, 0xBD, 0x9C, 0xAF, 0x8D, 0x68, 0x32, 0x6E, 0x9A)

struct IAppPluginActions : public IUnknown {
  using Parent = IUnknown;
  virtual void STDMETHODCALLTYPE Add(BSTR Caption, BSTR Hint, HICON Icon, IAppPluginAction* Action) = 0;
  virtual void STDMETHODCALLTYPE Remove(IAppPluginAction* Action) = 0;
};
__CRT_UUID_DECL(IAppPluginActions, 0x251E1E82, 0x64C7, 0x4A22, 0xAF, 0x30, 0x40, 0xC4, 0x5C, 0x5C, 0x06, 0x5F)

// GetState flags.
inline constexpr LONG AppPluginActionVisible = 1;
inline constexpr LONG AppPluginActionEnabled = 2;

struct IAppPluginAction : public IUnknown {
  using Parent = IUnknown;
  virtual void STDMETHODCALLTYPE Execute() = 0;
  virtual LONG STDMETHODCALLTYPE GetState() = 0;
};
__CRT_UUID_DECL(IAppPluginAction, 0xA7D4767E, 0x165D, 0x4311, 0x95, 0xCB, 0xCE, 0xFA, 0x6B, 0xF5, 0xC9, 0x2F)
