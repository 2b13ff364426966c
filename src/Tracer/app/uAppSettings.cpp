#include "Tracer/app/uAppSettings.h"

static const wchar_t* const UnitPath = L"src/Tracer/uAppSettings";

const TPropTable& TAppSetting::ClassPropTable() {
  static const TPropTable table(&TCollectionItem::ClassPropTable(),
                                {StringProperty<TAppSetting>(L"Id", &TAppSetting::GetId, &TAppSetting::SetId),
                                 VariantProperty<TAppSetting>(L"Value", &TAppSetting::GetValue, &TAppSetting::SetValue)});
  return table;
}

TAppSetting* TAppSettingsCollection::GetItem(int Index) const {
  TAppSetting* item = TCollectionOf<TAppSetting>::GetItem(Index);
  CW_ASSERT(item != nullptr, UnitPath, 83);
  return item;
}

TAppSetting* TAppSettingsCollection::Add() {
  TAppSetting* item = TCollectionOf<TAppSetting>::Add();
  CW_ASSERT(item != nullptr, UnitPath, 89);
  return item;
}

TAppSettings::TAppSettings() : TAutoIntfObject<IAppSettings>(__uuidof(IAppSettings)) {}

int TAppSettings::IndexOfSetting(const std::wstring& Name) const {
  for (int i = 0; i < FItems.GetCount(); ++i)
    if (FItems.GetItem(i)->GetId() == Name) return i;
  return -1;
}

HRESULT STDMETHODCALLTYPE TAppSettings::GetValue(BSTR Name, VARIANT* Value) {
  return ComMethodGuard([&] {
    if (!Value) OleCheck(E_POINTER);
    VariantInit(Value);
    const int index = IndexOfSetting(BStrToWide(Name));
    if (index >= 0) *Value = TOleVariant(FItems.GetItem(index)->GetValue()).Detach();
  });
}

HRESULT STDMETHODCALLTYPE TAppSettings::SetValue(BSTR Name, VARIANT Value) {
  return ComMethodGuard([&] {
    // A value by reference points into the caller's memory, which is gone after the call.
    TOleVariant value = VariantByValue(Value);
    const std::wstring name = BStrToWide(Name);
    const int index = IndexOfSetting(name);
    TAppSetting* item = index >= 0 ? FItems.GetItem(index) : nullptr;
    if (item == nullptr) {
      item = FItems.Add();
      item->SetId(name);
    }
    item->SetValue(value);
  });
}

static TObject* AppSettingsInstance = nullptr;

TAppSettings* GetAppSettings() {
  static const TAppSettings::TFactory factory;
  return GetServiceInstance<TAppSettings>(factory, AppSettingsInstance);
}
