// The name/value store that plug-ins and scripts reach as the application's Settings: kept in
// a collection that the main window saves with the program's settings ("settings").
#pragma once
#include <windows.h>

#include <string>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/foundation/uPersistent.h"

class TAppSetting : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  static const TPropTable& ClassPropTable();
  const TPropTable& GetPropTable() const override { return ClassPropTable(); }

  const std::wstring& GetId() const { return FId; }
  void SetId(const std::wstring& Value) { FId = Value; }
  const TOleVariant& GetValue() const { return FValue; }
  void SetValue(const TOleVariant& Value) { FValue = Value; }

private:
  std::wstring FId;
  TOleVariant FValue;
};

class TAppSettingsCollection : public TCollectionOf<TAppSetting> {
public:
  TAppSetting* GetItem(int Index) const;
  TAppSetting* Add();
};

class TAppSettings : public TAutoIntfObject<IAppSettings> {
public:
  using TFactory = TServiceFactory<TAppSettings, TInterfacedObjectFactory>;
  TAppSettings();

  // A copy of the first setting named Name exactly (letter case counts); Empty when none.
  HRESULT STDMETHODCALLTYPE GetValue(BSTR Name, VARIANT* Value) override;
  // Stores a copy of Value (its value, when it comes by reference) in the first setting
  // named Name, or in a new one at the end.
  HRESULT STDMETHODCALLTYPE SetValue(BSTR Name, VARIANT Value) override;

  // The first index whose Id is Name; -1 when none.
  int IndexOfSetting(const std::wstring& Name) const;
  TAppSettingsCollection& Items() { return FItems; }

private:
  TAppSettingsCollection FItems;
};

TAppSettings* GetAppSettings();
