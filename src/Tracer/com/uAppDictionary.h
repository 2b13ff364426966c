// The creatable dictionary automation class: keys and values (variants) kept in the scripting
// runtime's "Scripting.Dictionary", one per object.
#pragma once
#include "Tracer/com/uAutoObject.h"

class TDictionary : public TAutoObject<IAppDictionary> {
public:
  // Creates the scripting dictionary; raises when it is not registered.
  TDictionary();

  HRESULT STDMETHODCALLTYPE Put(VARIANT Key, VARIANT Value) override;
  HRESULT STDMETHODCALLTYPE Get(VARIANT Key, VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE Remove(VARIANT Key) override;

private:
  bool Exists(VARIANT& key);
  TComPtr<IDispatch> FDictionary;
};

// The dictionary's class factory (multiple instances, apartment threading), registered with
// the class manager; the server object frees it.
TComObjectFactory* CreateDictionaryFactory(TComServerObject& server);
