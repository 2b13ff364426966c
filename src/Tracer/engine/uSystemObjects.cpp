#include "Tracer/engine/uSystemObjects.h"

#include <atomic>

#include <oleauto.h>

#include "Tracer/engine/uProcDefs.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/foundation/uVariants.h"
#include "Tracer/foundation/uWideStrUtils.h"

namespace {

const wchar_t* const SUnit = L"src/Tracer/uSystemObjects";

uint32_t DefKey(const TParamDef* Def) { return Def->GetSerial(); }

// Name of a variant type as "VT_BYREF|VT_I4".
std::wstring VarTypeName(VARTYPE vt) {
  static const wchar_t* const names[] = {
      L"VT_EMPTY", L"VT_NULL", L"VT_I2", L"VT_I4", L"VT_R4", L"VT_R8", L"VT_CY", L"VT_DATE",
      L"VT_BSTR", L"VT_DISPATCH", L"VT_ERROR", L"VT_BOOL", L"VT_VARIANT", L"VT_UNKNOWN", L"VT_DECIMAL",
      nullptr, L"VT_I1", L"VT_UI1", L"VT_UI2", L"VT_UI4", L"VT_I8", L"VT_UI8", L"VT_INT", L"VT_UINT",
      L"VT_VOID", L"VT_HRESULT", L"VT_PTR", L"VT_SAFEARRAY", L"VT_CARRAY", L"VT_USERDEFINED",
      L"VT_LPSTR", L"VT_LPWSTR"};
  std::wstring text;
  if (vt & VT_VECTOR) text += L"VT_VECTOR|";
  if (vt & VT_ARRAY) text += L"VT_ARRAY|";
  if (vt & VT_BYREF) text += L"VT_BYREF|";
  VARTYPE base = vt & VT_TYPEMASK;
  if (base < sizeof(names) / sizeof(names[0]) && names[base] != nullptr)
    text += names[base];
  else if (base == VT_RECORD)
    text += L"VT_RECORD";
  else
    text += WideFormat(L"0x%X", static_cast<unsigned>(base));
  return text;
}

// Variant types that hold their whole value in the 16 bytes, no pointer.
bool IsPlainVarType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_ERROR: case VT_BOOL: case VT_DECIMAL: case VT_I1: case VT_UI1:
    case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

int32_t ClampLength(int32_t n) { return n > MaxDebuggeeReadLength - 1 ? MaxDebuggeeReadLength : n; }

}  // namespace

uint32_t NextDefinitionSerial() {
  static std::atomic<uint32_t> last{0};
  return ++last;
}

// ---- TParamAddresses ----

void TParamAddresses::AddAddress(const TParamDef* Def, uint32_t Address) {
  Add(DefKey(Def), reinterpret_cast<void*>(static_cast<uintptr_t>(Address)));
}

void TParamAddresses::AddError(const TParamDef* Def, const std::wstring& Message) {
  AddAddress(Def, 0);
  FErrors[DefKey(Def)] = Message;
}

void TParamAddresses::AddParamAddress(const TParamDef* Def, uint32_t Address, int32_t Indirections) {
  uint32_t address = Address;
  try {
    if (Indirections > 0) {
      TMemoryManagerRef memory = GetProcessMemoryBridge();
      for (int32_t i = 0; i < Indirections && address != 0; ++i) address = memory->ReadDWord(address);
    }
  } catch (Exception& e) {
    AddError(Def, e.Message());
    return;
  }
  AddAddress(Def, address);
}

bool TParamAddresses::FindAddress(const TParamDef* Def, uint32_t& Address) const {
  void* data = nullptr;
  if (!Find(DefKey(Def), data)) return false;
  Address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  return true;
}

bool TParamAddresses::FindError(const TParamDef* Def, std::wstring& Message) const {
  auto it = FErrors.find(DefKey(Def));
  if (it == FErrors.end()) return false;
  Message = it->second;
  return true;
}

void ReadParamValue(const TParamDef* Def, const TParamAddresses& Context, TOleVariant& Value) {
  try {
    Value.Clear();
    std::wstring error;
    uint32_t address = 0;
    if (Context.FindError(Def, error))
      Value = TOleVariant(error);
    else if (!Context.FindAddress(Def, address))
      Value.Clear();  // Empty
    else if (address == 0)
      Value = TOleVariant(NullOleVariant());
    else
      Def->ReadValue(address, Context, Value);
  } catch (Exception& e) {
    Value = TOleVariant(e.Message());
  } catch (std::exception& e) {
    Value = TOleVariant(Utf8ToWide(e.what()));
  } catch (...) {
    Value = TOleVariant(L"Unknown exception");
  }
}

// ---- TParamDef ----

TParamDef::TParamDef(TProcDef* Owner, const std::wstring& Name) : FName(Name), FOwner(Owner) {}

TParamDef::~TParamDef() = default;

void TParamDef::LoadFromXML(IXMLDOMNode* Node) {
  TOleVariant value;
  ReadProperty(Node, L"Offset", VT_UI4, value, true);
  FOffset = value.ulVal;
  ReadProperty(Node, L"Visible", VT_BOOL, value, false);
  if (!value.IsEmpty()) FVisible = value.boolVal != VARIANT_FALSE;
  ReadProperty(Node, L"Out", VT_BOOL, value, false);
  if (!value.IsEmpty()) FOut = value.boolVal != VARIANT_FALSE;
}

void TSignedIntegerParamDef::ReadValue(uint32_t Address, const TParamAddresses&, TOleVariant& Value) const {
  int32_t raw = ReadRawValue(Address);
  Value.Clear();
  Value.vt = VT_I4;
  Value.lVal = raw;
}

void TUnsignedIntegerParamDef::ReadValue(uint32_t Address, const TParamAddresses&, TOleVariant& Value) const {
  uint32_t raw = ReadRawValue(Address);
  Value.Clear();
  LongWordToVariant(raw, Value);
}

void TShortIntParamDef::ReadValue(uint32_t Address, const TParamAddresses&, TOleVariant& Value) const {
  int32_t raw = ReadRawValue(Address);
  Value.Clear();
  SmallIntToVariant(static_cast<int16_t>(raw), Value);
}

int32_t TShortIntParamDef::ReadRawValue(uint32_t Address) const {
  return static_cast<int16_t>(GetProcessMemoryBridge()->ReadWord(Address));
}

int32_t TIntParamDef::ReadRawValue(uint32_t Address) const { return GetProcessMemoryBridge()->ReadInteger(Address); }

uint32_t TDWORDParamDef::ReadRawValue(uint32_t Address) const { return GetProcessMemoryBridge()->ReadDWord(Address); }

void TDoubleParamDef::ReadValue(uint32_t Address, const TParamAddresses&, TOleVariant& Value) const {
  double raw = GetProcessMemoryBridge()->ReadDouble(Address);
  Value.Clear();
  Value.vt = VT_R8;
  Value.dblVal = raw;
}

void TVariantParamDef::ReadValue(uint32_t Address, const TParamAddresses&, TOleVariant& Value) const {
  TMemoryManagerRef memory = GetProcessMemoryBridge();
  // The raw bytes are the debuggee's: never cleared, released or dereferenced here.
  VARIANT raw;
  memset(&raw, 0, sizeof raw);
  memory->Read(Address, &raw, sizeof raw);
  Value.Clear();
  if (raw.vt == VT_BSTR) {
    uint32_t text = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(raw.bstrVal));
    if (text == 0)
      Value = TOleVariant(std::wstring());
    else
      Value = TOleVariant(memory->ReadWideStringZ(text));
  } else if ((raw.vt & ~VT_BYREF) == VT_DISPATCH || (raw.vt & ~VT_BYREF) == VT_UNKNOWN) {
    // An object of the debuggee: shown as an object, its pointer (or reference) dropped.
    Value.vt = raw.vt & ~VT_BYREF;
    Value.punkVal = nullptr;
  } else if (IsPlainVarType(raw.vt)) {
    memcpy(static_cast<VARIANT*>(&Value), &raw, sizeof raw);
  } else {
    Value = TOleVariant(L"(" + VarTypeName(raw.vt) + L")");
  }
}

// ---- sized kinds ----

void TSizeParamDef::LoadFromXML(IXMLDOMNode* Node) {
  TParamDef::LoadFromXML(Node);
  TOleVariant value;
  ReadProperty(Node, L"Length", VT_BSTR, value, false);
  std::wstring text = value.IsEmpty() ? std::wstring() : value.AsBSTRText();
  int32_t n = 0;
  TParamDef* other = nullptr;
  if (WideTryStrToInt(text, n)) {
    FSize.SizeType = 1;
    FSize.Length = n;
  } else if (FOwner != nullptr && FOwner->GetParams().FindByName(text, other)) {
    auto* sizeParam = dynamic_cast<TIntegerParamDef*>(other);
    if (sizeParam == nullptr)
      throw EFilerException(WideFormat(L"\"%ls\" is not an integer parameter", text.c_str()));
    FSize.SizeType = 2;
    FSize.SizeParam = sizeParam;
  } else if (!text.empty()) {
    RaiseUnknownToken(text);
  } else {
    FSize.SizeType = 0;
  }
}

int32_t TSizeParamDef::ReadSizeParam(const TParamAddresses& Context) const {
  TOleVariant value;
  ReadParamValue(FSize.SizeParam, Context, value);
  TOleVariant n;
  HRESULT hr = ::VariantChangeTypeEx(&n, &value, MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT),
                                     0, VT_I4);
  if (FAILED(hr)) {
    std::wstring text = value.vt == VT_BSTR ? L" (" + value.AsBSTRText() + L")" : std::wstring();
    throw EConvertError(WideFormat(L"Could not convert variant of type (%ls) into type (VT_I4)%ls",
                                   VarTypeName(value.vt).c_str(), text.c_str()));
  }
  return n.lVal;
}

void TSizeParamDef::BadSizeType() const {
  throw EAssertionFailed(WideFormat(L"FSize.SizeType=%d (%ls, line %d)", static_cast<int>(FSize.SizeType), SUnit,
                                    __LINE__));
}

TStringParamDef::TStringParamDef(TProcDef* Owner, const std::wstring& Name) : TSizeParamDef(Owner, Name) {
  FSize.SizeType = 0;
}

int32_t TStringParamDef::ReadLength(const TParamAddresses& Context) const {
  switch (FSize.SizeType) {
    case 0:
      return -1;
    case 1:
      return FSize.Length;
    case 2: {
      int32_t n = ReadSizeParam(Context);
      return n < 0 ? -1 : ClampLength(n);
    }
    default:
      BadSizeType();
  }
}

void TAnsiStringParamDef::ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const {
  int32_t length = ReadLength(Context);
  TMemoryManagerRef memory = GetProcessMemoryBridge();
  std::string text = length < 0 && FSize.SizeType != 1 ? memory->ReadAnsiStringZ(Address)
                                                         : memory->ReadAnsiString(Address, length);
  Value = TOleVariant(AnsiToWide(text));
}

void TWideStringParamDef::ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const {
  int32_t length = ReadLength(Context);
  TMemoryManagerRef memory = GetProcessMemoryBridge();
  std::wstring text = length < 0 && FSize.SizeType != 1 ? memory->ReadWideStringZ(Address)
                                                          : memory->ReadWideString(Address, length);
  Value = TOleVariant(text);
}

void TDumpParamDef::LoadFromXML(IXMLDOMNode* Node) {
  TSizeParamDef::LoadFromXML(Node);
  if (FSize.SizeType == 0) {
    TOleVariant value;
    ReadProperty(Node, L"Length", VT_BSTR, value, true);
    RaiseUnknownToken(value.IsEmpty() ? std::wstring() : value.AsBSTRText());
  }
}

void TDumpParamDef::ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const {
  int32_t n = 0;
  switch (FSize.SizeType) {
    case 1:
      n = FSize.Length;
      break;
    case 2:
      n = ReadSizeParam(Context);
      break;
    default:
      BadSizeType();
  }
  if (n < 0) n = 0;
  n = ClampLength(n);
  VARIANT bytes;
  VariantInit(&bytes);
  GetProcessMemoryBridge()->ReadBytes(Address, n, bytes);
  Value.Clear();
  memcpy(static_cast<VARIANT*>(&Value), &bytes, sizeof bytes);
}

// ---- TParamDefs ----

TParamDefs::~TParamDefs() { Clear(); }

TParamDef* TParamDefs::Add(std::unique_ptr<TParamDef> Def) {
  CW_ASSERT(Def != nullptr, SUnit, __LINE__);
  FNames.AddString(Def->GetName(), Def.get());  // refuses a second parameter of that name
  FItems.push_back(std::move(Def));
  return FItems.back().get();
}

void TParamDefs::Delete(int Index) {
  TParamDef* def = GetItem(Index);
  FNames.RemoveString(def->GetName());
  FItems.erase(FItems.begin() + Index);
}

void TParamDefs::Clear() {
  FNames.Clear();
  FItems.clear();
}

TParamDef* TParamDefs::GetItem(int Index) const {
  if (Index < 0 || Index >= GetCount())
    throw EListError(WideFormat(L"List index out of bounds (%d)", Index));
  return FItems[static_cast<size_t>(Index)].get();
}

bool TParamDefs::FindByName(const std::wstring& Name, TParamDef*& Def) const {
  TObject* found = nullptr;
  if (!FNames.FindString(Name, found)) return false;
  CW_ASSERT(found != nullptr, SUnit, __LINE__);
  auto* def = static_cast<TParamDef*>(found);
  if (def->GetName() != Name) return false;  // another name with the same hash
  Def = def;
  return true;
}

TParamDef* TParamDefs::iterator::operator*() const {
  TParamDef* def = FIt->get();
  CW_ASSERT(def != nullptr, SUnit, __LINE__);
  return def;
}

// ---- procedure definitions ----

void TProcDefs::Add(TProcDef* Def) { AddString(Def->GetURL(), Def); }

bool TProcDefs::Find(const std::wstring& URL, TProcDef*& Def) const {
  return FindObject(*this, WideStringHash(URL), Def, SUnit, __LINE__);
}

void TProcDefs::Remove(TProcDef* Def) { RemoveString(Def->GetURL()); }

// ---- keyword registries ----

void TTypeDefs::AddType(const std::wstring& Keyword, const TDefClass* DefClass) {
  auto def = std::make_unique<TTypeDef>(Keyword, DefClass);
  AddString(Keyword, def.get());
  def.release();
}

bool TTypeDefs::FindType(const std::wstring& Keyword, const TDefClass*& DefClass) const {
  TObject* found = nullptr;
  if (!FindString(Keyword, found)) return false;
  auto* def = dynamic_cast<TTypeDef*>(found);
  CW_ASSERT(def != nullptr, SUnit, __LINE__);
  if (def->GetKeyword() != Keyword) return false;  // another keyword with the same hash
  DefClass = def->GetDefClass();
  return true;
}

TParamTypeDefs::TParamTypeDefs() {
  AddParamType(ParamDefClass<TDWORDParamDef>());
  AddParamType(ParamDefClass<TShortIntParamDef>());
  AddParamType(ParamDefClass<TIntParamDef>());
  AddParamType(ParamDefClass<TDumpParamDef>());
  AddParamType(ParamDefClass<TAnsiStringParamDef>());
  AddParamType(ParamDefClass<TWideStringParamDef>());
  AddParamType(ParamDefClass<TDoubleParamDef>());
  AddParamType(ParamDefClass<TVariantParamDef>());
}

TProcTypeDefs::TProcTypeDefs() {
  AddProcType(ProcDefClass<TEAXProcDef>());
  AddProcType(ProcDefClass<TAXProcDef>());
  AddProcType(ProcDefClass<TVOIDProcDef>());
  // A missing "Result" means no result value.
  AddType(L"", ProcDefClass<TVOIDProcDef>());
}

namespace {
TObject* ParamTypeDefsInstance = nullptr;
TObject* ProcTypeDefsInstance = nullptr;
}  // namespace

TParamTypeDefs* GetParamTypeDefs() {
  static const TParamTypeDefs::TFactory factory;
  return GetServiceInstance<TParamTypeDefs>(factory, ParamTypeDefsInstance);
}

TProcTypeDefs* GetProcTypeDefs() {
  static const TProcTypeDefs::TFactory factory;
  return GetServiceInstance<TProcTypeDefs>(factory, ProcTypeDefsInstance);
}
