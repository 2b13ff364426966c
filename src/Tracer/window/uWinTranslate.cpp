#include "Tracer/window/uWinTranslate.h"

#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uWideStrUtils.h"

namespace {

// The writable string property of that name, nil when the component has none.
const TPropInfo* TextProperty(TComponent& component, const std::wstring& name) {
  const TPropInfo* info = component.GetPropTable().Find(name);
  return info && info->Kind == TPropKind::pkWideString && info->IsWritable() ? info : nullptr;
}

std::wstring TextOf(TComponent& component, const TPropInfo* info) { return info->GetValue(&component).AsBSTRText(); }

}  // namespace

void TranslatePropertiesOf(const std::string& section, TComponent& component,
                           const std::vector<std::wstring>& propNames, const std::string& prefix) {
  std::vector<std::wstring> before;
  for (const std::wstring& prop : propNames) {
    const TPropInfo* info = TextProperty(component, prop);
    before.push_back(info ? TextOf(component, info) : std::wstring());
  }
  GetMultiLanguage()->TranslateProperties(section, component, propNames, prefix);
  for (size_t i = 0; i < propNames.size(); ++i)
    if (const TPropInfo* info = TextProperty(component, propNames[i]))
      component.RememberTranslation(propNames[i], component.TranslationDefault(propNames[i], before[i]),
                                    TextOf(component, info));
}

void TranslateComponent(const std::string& section, TComponent& component, const std::vector<std::wstring>& propNames,
                        const std::string& extra) {
  if (component.Name().empty() || component.ActionComponent()) return;
  const std::string name = WideToAnsi(component.Name());
  TranslatePropertiesOf(section, component, propNames, extra.empty() ? name : extra + "." + name);
}

void TranslateComponentTree(const std::string& section, TComponent& component,
                            const std::vector<std::wstring>& propNames, const std::string& extra) {
  TranslateComponent(section, component, propNames, extra);
  for (int i = 0; i < component.ComponentCount(); ++i) {
    TComponent* child = component.Component(i);
    if (!child->IsForm()) TranslateComponentTree(section, *child, propNames, extra);
  }
}

void RestoreBuiltInTexts(TComponent& component, const std::vector<std::wstring>& propNames) {
  for (const std::wstring& prop : propNames)
    if (const TPropInfo* info = TextProperty(component, prop)) {
      const std::wstring current = TextOf(component, info);
      const std::wstring builtIn = component.TranslationDefault(prop, current);
      if (builtIn != current) info->SetValue(&component, TOleVariant(builtIn));
    }
  for (int i = 0; i < component.ComponentCount(); ++i) {
    TComponent* child = component.Component(i);
    if (!child->IsForm()) RestoreBuiltInTexts(*child, propNames);
  }
}
