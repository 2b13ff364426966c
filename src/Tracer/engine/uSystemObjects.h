// What a symbol file says about traced functions and their parameters: parameter
// definitions that read their value from the debuggee, the keyword registries of
// parameter types and result kinds, and the keyed lists of definitions.
#pragma once
#include <windows.h>
#include <msxml2.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/foundation/uClasses.h"
#include "Tracer/foundation/uCollections.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/foundation/uXMLFiler.h"

class TProcDef;
class TParamDef;
class TParamDefs;

// ---- where each parameter of one call lies ----

// Parameter definition -> its address in the debuggee for one call. A parameter whose
// address could not be computed (an unreadable pointer on the way) keeps the error's
// text instead, which becomes its value.
class TParamAddresses : public TQBucketList {
public:
  // A definition entered twice is refused with the list's duplicate error.
  void AddAddress(const TParamDef* Def, uint32_t Address);
  void AddError(const TParamDef* Def, const std::wstring& Message);
  // Address (at entry: the stack pointer + the definition's Offset), then one pointer read
  // per indirection; a pointer of 0 ends it with address 0, an unreadable one with the
  // error's text.
  void AddParamAddress(const TParamDef* Def, uint32_t Address, int32_t Indirections);
  bool FindAddress(const TParamDef* Def, uint32_t& Address) const;
  bool FindError(const TParamDef* Def, std::wstring& Message) const;

private:
  std::map<uint32_t, std::wstring> FErrors;  // by the definition's serial
};

// The value of one parameter in one call. Never raises: a read that fails gives the
// error's text as the value; address 0 gives Null; a parameter without address Empty.
void ReadParamValue(const TParamDef* Def, const TParamAddresses& Context, TOleVariant& Value);

// ---- class references ----

// A definition class as the keyword registries hold it: its keyword and its constructor.
class TDefClass {
public:
  virtual ~TDefClass() = default;
  virtual std::wstring GetKeyword() const = 0;
};

class TParamDefClass : public TDefClass {
public:
  virtual std::unique_ptr<TParamDef> Create(TProcDef* Owner, const std::wstring& Name) const = 0;
};

class TProcDefClass : public TDefClass {
public:
  virtual std::unique_ptr<TProcDef> Create(const std::wstring& URL) const = 0;
};

template <class T>
class TParamDefClassOf final : public TParamDefClass {
public:
  std::wstring GetKeyword() const override { return T::GetKeyword(); }
  std::unique_ptr<TParamDef> Create(TProcDef* Owner, const std::wstring& Name) const override {
    return std::make_unique<T>(Owner, Name);
  }
};

template <class T>
class TProcDefClassOf final : public TProcDefClass {
public:
  std::wstring GetKeyword() const override { return T::GetKeyword(); }
  std::unique_ptr<TProcDef> Create(const std::wstring& URL) const override { return std::make_unique<T>(URL); }
};

template <class T>
const TParamDefClass* ParamDefClass() {
  static const TParamDefClassOf<T> cls;
  return &cls;
}

template <class T>
const TProcDefClass* ProcDefClass() {
  static const TProcDefClassOf<T> cls;
  return &cls;
}

// ---- parameter definitions ----

// A number no other definition (procedure or parameter) made in this run has: what a call's
// context keys on, since a new definition may get the address of one that is gone.
uint32_t NextDefinitionSerial();

class TParamDef : public TUnknownObject, public IXMLNodeLoader {
public:
  TParamDef(TProcDef* Owner, const std::wstring& Name);
  ~TParamDef() override;

  virtual void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const = 0;
  // "Offset" (required), "Visible" and "Out" (optional).
  virtual void LoadFromXML(IXMLDOMNode* Node);
  void LoadFromNode(IXMLDOMNode* Node) override { LoadFromXML(Node); }

  const std::wstring& GetName() const { return FName; }
  uint32_t GetOffset() const { return FOffset; }
  void SetOffset(uint32_t Value) { FOffset = Value; }
  int32_t GetIndirectionCount() const { return FIndirectionCount; }
  void SetIndirectionCount(int32_t Value) { FIndirectionCount = Value; }
  bool GetVisible() const { return FVisible; }
  bool GetOut() const { return FOut; }
  TProcDef* GetOwner() const { return FOwner; }
  uint32_t GetSerial() const { return FSerial; }

protected:
  const uint32_t FSerial = NextDefinitionSerial();
  std::wstring FName;
  uint32_t FOffset = 0;
  int32_t FIndirectionCount = 0;
  bool FVisible = true;
  bool FOut = false;
  TProcDef* FOwner;
};

class TIntegerParamDef : public TParamDef {
public:
  using TParamDef::TParamDef;
};

class TSignedIntegerParamDef : public TIntegerParamDef {
public:
  using TIntegerParamDef::TIntegerParamDef;
  void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const override;
  virtual int32_t ReadRawValue(uint32_t Address) const = 0;
};

class TUnsignedIntegerParamDef : public TIntegerParamDef {
public:
  using TIntegerParamDef::TIntegerParamDef;
  void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const override;
  virtual uint32_t ReadRawValue(uint32_t Address) const = 0;
};

class TShortIntParamDef : public TSignedIntegerParamDef {
public:
  using TSignedIntegerParamDef::TSignedIntegerParamDef;
  static std::wstring GetKeyword() { return L"short"; }
  void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const override;
  int32_t ReadRawValue(uint32_t Address) const override;
};

class TIntParamDef : public TSignedIntegerParamDef {
public:
  using TSignedIntegerParamDef::TSignedIntegerParamDef;
  static std::wstring GetKeyword() { return L"int"; }
  int32_t ReadRawValue(uint32_t Address) const override;
};

class TDWORDParamDef : public TUnsignedIntegerParamDef {
public:
  using TUnsignedIntegerParamDef::TUnsignedIntegerParamDef;
  static std::wstring GetKeyword() { return L"dword"; }
  uint32_t ReadRawValue(uint32_t Address) const override;
};

class TDoubleParamDef : public TParamDef {
public:
  using TParamDef::TParamDef;
  static std::wstring GetKeyword() { return L"double"; }
  void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const override;
};

// The debuggee's 16-byte VARIANT. Pointers in it belong to the debuggee: a string becomes
// its text (a null string the empty text), an object an object of its type without the
// pointer, any other pointer-carrying type a text naming the type.
class TVariantParamDef : public TParamDef {
public:
  using TParamDef::TParamDef;
  static std::wstring GetKeyword() { return L"variant"; }
  void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const override;
};

// Length of a string or memory block.
struct TParamSize {
  // 0: none (zero-terminated), 1: fixed, 2: taken from another parameter of the call.
  uint8_t SizeType = 0;
  int32_t Length = 0;
  const TIntegerParamDef* SizeParam = nullptr;
};

class TSizeParamDef : public TParamDef {
public:
  using TParamDef::TParamDef;
  // Adds "Length": a number, or the name of an integer parameter read before this one.
  void LoadFromXML(IXMLDOMNode* Node) override;
  const TParamSize& GetSize() const { return FSize; }

protected:
  // The size parameter's value in this call (its conversion error passes on).
  int32_t ReadSizeParam(const TParamAddresses& Context) const;
  [[noreturn]] void BadSizeType() const;
  TParamSize FSize;
};

class TStringParamDef : public TSizeParamDef {
public:
  TStringParamDef(TProcDef* Owner, const std::wstring& Name);

protected:
  // Length to read: -1 for zero-terminated.
  int32_t ReadLength(const TParamAddresses& Context) const;
};

class TAnsiStringParamDef : public TStringParamDef {
public:
  using TStringParamDef::TStringParamDef;
  static std::wstring GetKeyword() { return L"str"; }
  void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const override;
};

class TWideStringParamDef : public TStringParamDef {
public:
  using TStringParamDef::TStringParamDef;
  static std::wstring GetKeyword() { return L"wstr"; }
  void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const override;
};

class TDumpParamDef : public TSizeParamDef {
public:
  using TSizeParamDef::TSizeParamDef;
  static std::wstring GetKeyword() { return L"dump"; }
  // A dump must have a length.
  void LoadFromXML(IXMLDOMNode* Node) override;
  void ReadValue(uint32_t Address, const TParamAddresses& Context, TOleVariant& Value) const override;
};

// ---- the parameters of one function ----

// In symbol-file order, owning; names are unique and found through a bucket list.
class TParamDefs {
public:
  TParamDefs() = default;
  ~TParamDefs();
  TParamDefs(const TParamDefs&) = delete;
  TParamDefs& operator=(const TParamDefs&) = delete;

  // Takes ownership; a second parameter of the same name is refused (and freed).
  TParamDef* Add(std::unique_ptr<TParamDef> Def);
  void Delete(int Index);
  void Clear();
  int GetCount() const { return static_cast<int>(FItems.size()); }
  TParamDef* GetItem(int Index) const;
  bool FindByName(const std::wstring& Name, TParamDef*& Def) const;

  // Walks the list in order.
  class iterator {
  public:
    explicit iterator(std::vector<std::unique_ptr<TParamDef>>::const_iterator it) : FIt(it) {}
    TParamDef* operator*() const;
    iterator& operator++() { ++FIt; return *this; }
    bool operator!=(const iterator& other) const { return FIt != other.FIt; }

  private:
    std::vector<std::unique_ptr<TParamDef>>::const_iterator FIt;
  };
  iterator begin() const { return iterator(FItems.begin()); }
  iterator end() const { return iterator(FItems.end()); }

private:
  std::vector<std::unique_ptr<TParamDef>> FItems;
  TQStringBucketList FNames{false};
};

// ---- procedure definitions: TProcDef and its result kinds live in uProcDefs ----

// Procedure definitions keyed by URL; owning or not, as the creator chooses.
class TProcDefs : public TQStringBucketList {
public:
  using TQStringBucketList::TQStringBucketList;
  void Add(TProcDef* Def);
  bool Find(const std::wstring& URL, TProcDef*& Def) const;
  void Remove(TProcDef* Def);
};

using TProcDefsEnumerator = TQObjectBucketListEnumerator<TProcDef>;

// ---- keyword registries ----

class TTypeDef : public TObject {
public:
  TTypeDef(const std::wstring& Keyword, const TDefClass* DefClass) : FKeyword(Keyword), FDefClass(DefClass) {}
  const std::wstring& GetKeyword() const { return FKeyword; }
  const TDefClass* GetDefClass() const { return FDefClass; }

private:
  std::wstring FKeyword;
  const TDefClass* FDefClass;
};

// Keyword -> class; keywords match exactly, letter case included.
class TTypeDefs : public TQStringBucketList {
public:
  TTypeDefs() : TQStringBucketList(true) {}
  void AddType(const std::wstring& Keyword, const TDefClass* DefClass);
  bool FindType(const std::wstring& Keyword, const TDefClass*& DefClass) const;
};

class TParamTypeDefs : public TTypeDefs {
public:
  class TFactory : public TServiceFactory<TParamTypeDefs, TSimpleObjectFactory> {};
  TParamTypeDefs();
  void AddParamType(const TParamDefClass* DefClass) { AddType(DefClass->GetKeyword(), DefClass); }
};

class TProcTypeDefs : public TTypeDefs {
public:
  class TFactory : public TServiceFactory<TProcTypeDefs, TSimpleObjectFactory> {};
  TProcTypeDefs();
  void AddProcType(const TProcDefClass* DefClass) { AddType(DefClass->GetKeyword(), DefClass); }
};

TParamTypeDefs* GetParamTypeDefs();
TProcTypeDefs* GetProcTypeDefs();

// Procedure definitions and the loaded set, which build on the lists above.
#include "Tracer/engine/uProcDefs.h"
