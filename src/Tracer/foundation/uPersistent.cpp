#include "Tracer/foundation/uPersistent.h"

#include <algorithm>

bool SameTextAscii(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'a' && x <= L'z') x = static_cast<wchar_t>(x - 32);
    if (y >= L'a' && y <= L'z') y = static_cast<wchar_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

TPropTable::TPropTable(const TPropTable* base, std::initializer_list<TPropInfo> own,
                       std::initializer_list<TPublishedMethod> methods) {
  if (base) {
    FProperties = base->FProperties;
    FMethods = base->FMethods;
  }
  FProperties.insert(FProperties.end(), own.begin(), own.end());
  FMethods.insert(FMethods.end(), methods.begin(), methods.end());
}

const TPropInfo* TPropTable::Find(const std::wstring& name) const {
  for (const TPropInfo& p : FProperties)
    if (SameTextAscii(p.Name, name)) return &p;
  return nullptr;
}

TMethodCode TPropTable::FindMethod(const std::wstring& name) const {
  // A derived class's method hides its base's of the same name: search from the end.
  for (auto it = FMethods.rbegin(); it != FMethods.rend(); ++it)
    if (SameTextAscii(it->Name, name)) return it->Code;
  return nullptr;
}

const TPropTable& TPersistent::ClassPropTable() {
  static const TPropTable table(nullptr, {});
  return table;
}

int TCollectionItem::GetIndex() const { return FCollection ? FCollection->IndexOf(this) : -1; }

TCollection::~TCollection() {
  // Items go without notifications: a derived collection is already gone here.
  FItems.clear();
}

TCollectionItem* TCollection::Add() { return Insert(GetCount()); }

TCollectionItem* TCollection::Insert(int index) {
  if (index < 0 || index > GetCount()) throw EListError(WideFormat(L"List index out of bounds (%d)", index));
  std::unique_ptr<TCollectionItem> item(CreateItem());
  TCollectionItem* result = item.get();
  FItems.insert(FItems.begin() + index, std::move(item));
  Notify(result, TCollectionNotification::cnAdded);
  return result;
}

void TCollection::Delete(int index) {
  TCollectionItem* item = GetItem(index);
  Notify(item, TCollectionNotification::cnDeleting);
  // The notification may have moved things: find the item again.
  int i = IndexOf(item);
  if (i >= 0) FItems.erase(FItems.begin() + i);
}

void TCollection::Clear() {
  while (!FItems.empty()) Delete(GetCount() - 1);
}

TCollectionItem* TCollection::GetItem(int index) const {
  if (index < 0 || index >= GetCount()) throw EListError(WideFormat(L"List index out of bounds (%d)", index));
  return FItems[static_cast<size_t>(index)].get();
}

int TCollection::IndexOf(const TCollectionItem* item) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].get() == item) return static_cast<int>(i);
  return -1;
}

void TCollection::Notify(TCollectionItem*, TCollectionNotification) {}
