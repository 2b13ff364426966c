// Objects whose properties are read and written by name (the property-set filer, the
// settings file, translation), and collections whose items know their collection.
//
// Each class that offers properties by name has one static table: its base class's
// entries first, then its own in declaration order. A table entry holds the name, the
// kind and the getter and setter (no setter: read-only). Setters with side effects are
// member functions, so reading a file goes through them.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Tracer/foundation/uOleVariant.h"
#include "lib/rtl/SysUtils.h"

enum class TPropKind : uint8_t {
  pkInteger,     // 32-bit signed (colours included)
  pkBoolean,     // the only enumeration that is stored
  pkWideString,
  pkVariant,
  pkMethod,      // an event: bound to a published method of the object
};

// A published method: an event handler found by name. Called with the object and the sender.
using TMethodCode = void (*)(TObject* self, TObject* sender);

// An event binding: the handler and the object it is called on.
struct TMethod {
  TMethodCode Code = nullptr;
  TObject* Data = nullptr;
  explicit operator bool() const { return Code != nullptr; }
  void operator()(TObject* sender) const {
    if (Code) Code(Data, sender);
  }
  bool operator==(const TMethod&) const = default;
};

struct TPublishedMethod {
  const wchar_t* Name;
  TMethodCode Code;
};

class TPropInfo {
public:
  using TValueGetter = std::function<TOleVariant(TObject*)>;
  using TValueSetter = std::function<void(TObject*, const VARIANT&)>;
  using TMethodGetter = std::function<TMethod(TObject*)>;
  using TMethodSetter = std::function<void(TObject*, const TMethod&)>;

  std::wstring Name;
  TPropKind Kind = TPropKind::pkInteger;
  // Value kinds: the value as VT_I4, VT_BOOL, VT_BSTR or any variant; the setter receives
  // a variant of that same type (the filer converts before it calls).
  TValueGetter GetValue;
  TValueSetter SetValue;
  // pkMethod only.
  TMethodGetter GetMethod;
  TMethodSetter SetMethod;

  bool IsWritable() const { return Kind == TPropKind::pkMethod ? bool(SetMethod) : bool(SetValue); }
};

class TPropTable {
public:
  // Base entries first; a name given again by a derived class replaces nothing (both stay,
  // lookups find the first).
  TPropTable(const TPropTable* base, std::initializer_list<TPropInfo> own,
             std::initializer_list<TPublishedMethod> methods = {});
  const std::vector<TPropInfo>& Properties() const { return FProperties; }
  // Names compare without regard to the case of ASCII letters.
  const TPropInfo* Find(const std::wstring& name) const;
  TMethodCode FindMethod(const std::wstring& name) const;

private:
  std::vector<TPropInfo> FProperties;
  std::vector<TPublishedMethod> FMethods;
};

// Equal when the texts differ at most in the case of ASCII letters.
bool SameTextAscii(const std::wstring& a, const std::wstring& b);

// Base of every object with properties by name. Derived classes that add properties
// override GetPropTable with their own ClassPropTable, built on their base's.
class TPersistent : public TObject {
public:
  static const TPropTable& ClassPropTable();
  virtual const TPropTable& GetPropTable() const { return ClassPropTable(); }
};

// --- Building table entries --------------------------------------------------------------
// Get: a const member function or a data member; Set: a member function taking the value,
// a data member, or nullptr (read-only).

namespace cwprop {

template <class T, class Get>
decltype(auto) Read(Get get, TObject* obj) {
  return std::invoke(get, static_cast<T*>(obj));
}

template <class T, class V, class Set>
void Write(Set set, TObject* obj, V&& value) {
  if constexpr (std::is_member_object_pointer_v<Set>) {
    std::invoke(set, static_cast<T*>(obj)) = std::forward<V>(value);
  } else {
    std::invoke(set, static_cast<T*>(obj), std::forward<V>(value));
  }
}

}  // namespace cwprop

template <class T, class Get, class Set = std::nullptr_t>
TPropInfo IntegerProperty(const wchar_t* name, Get get, Set set = nullptr) {
  TPropInfo p;
  p.Name = name;
  p.Kind = TPropKind::pkInteger;
  p.GetValue = [get](TObject* obj) { return TOleVariant(static_cast<int32_t>(cwprop::Read<T>(get, obj))); };
  if constexpr (!std::is_null_pointer_v<Set>)
    p.SetValue = [set](TObject* obj, const VARIANT& v) { cwprop::Write<T>(set, obj, static_cast<int32_t>(v.lVal)); };
  return p;
}

template <class T, class Get, class Set = std::nullptr_t>
TPropInfo BooleanProperty(const wchar_t* name, Get get, Set set = nullptr) {
  TPropInfo p;
  p.Name = name;
  p.Kind = TPropKind::pkBoolean;
  p.GetValue = [get](TObject* obj) { return TOleVariant(static_cast<bool>(cwprop::Read<T>(get, obj))); };
  if constexpr (!std::is_null_pointer_v<Set>)
    p.SetValue = [set](TObject* obj, const VARIANT& v) { cwprop::Write<T>(set, obj, v.boolVal != VARIANT_FALSE); };
  return p;
}

template <class T, class Get, class Set = std::nullptr_t>
TPropInfo StringProperty(const wchar_t* name, Get get, Set set = nullptr) {
  TPropInfo p;
  p.Name = name;
  p.Kind = TPropKind::pkWideString;
  p.GetValue = [get](TObject* obj) { return TOleVariant(std::wstring(cwprop::Read<T>(get, obj))); };
  if constexpr (!std::is_null_pointer_v<Set>)
    p.SetValue = [set](TObject* obj, const VARIANT& v) {
      cwprop::Write<T>(set, obj, TOleVariant(v).AsBSTRText());
    };
  return p;
}

template <class T, class Get, class Set = std::nullptr_t>
TPropInfo VariantProperty(const wchar_t* name, Get get, Set set = nullptr) {
  TPropInfo p;
  p.Name = name;
  p.Kind = TPropKind::pkVariant;
  p.GetValue = [get](TObject* obj) { return TOleVariant(cwprop::Read<T>(get, obj)); };
  if constexpr (!std::is_null_pointer_v<Set>)
    p.SetValue = [set](TObject* obj, const VARIANT& v) { cwprop::Write<T>(set, obj, TOleVariant(v)); };
  return p;
}

template <class T, class Get, class Set = std::nullptr_t>
TPropInfo MethodProperty(const wchar_t* name, Get get, Set set = nullptr) {
  TPropInfo p;
  p.Name = name;
  p.Kind = TPropKind::pkMethod;
  p.GetMethod = [get](TObject* obj) { return TMethod(cwprop::Read<T>(get, obj)); };
  if constexpr (!std::is_null_pointer_v<Set>)
    p.SetMethod = [set](TObject* obj, const TMethod& m) { cwprop::Write<T>(set, obj, m); };
  return p;
}

// --- Collections ---------------------------------------------------------------------------

class TCollection;

enum class TCollectionNotification { cnAdded, cnDeleting };

class TCollectionItem : public TPersistent {
public:
  explicit TCollectionItem(TCollection* collection) : FCollection(collection) {}
  TCollection* GetCollection() const { return FCollection; }
  // Position in the collection, -1 when it is not (or no longer) in one.
  int GetIndex() const;

private:
  TCollection* FCollection;
};

// Owns its items, in order. A new item is made by CreateItem (the item's constructor sets
// its defaults); Notify tells a derived collection about additions and deletions.
class TCollection : public TPersistent {
public:
  TCollection() = default;
  ~TCollection() override;
  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;

  TCollectionItem* Add();
  TCollectionItem* Insert(int index);
  // Frees the item at index (an index out of range raises EListError).
  void Delete(int index);
  void Clear();
  int GetCount() const { return static_cast<int>(FItems.size()); }
  TCollectionItem* GetItem(int index) const;
  int IndexOf(const TCollectionItem* item) const;

protected:
  virtual TCollectionItem* CreateItem() = 0;
  virtual void Notify(TCollectionItem* item, TCollectionNotification action);

private:
  std::vector<std::unique_ptr<TCollectionItem>> FItems;
};

// A collection of items of class T (constructed with the collection).
template <class T>
class TCollectionOf : public TCollection {
public:
  T* Add() { return static_cast<T*>(TCollection::Add()); }
  T* Insert(int index) { return static_cast<T*>(TCollection::Insert(index)); }
  T* GetItem(int index) const { return static_cast<T*>(TCollection::GetItem(index)); }

protected:
  TCollectionItem* CreateItem() override { return new T(this); }
};
