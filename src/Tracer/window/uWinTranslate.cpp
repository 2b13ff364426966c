#include "Tracer/window/uWinTranslate.h"

#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uWideStrUtils.h"

void TranslateComponent(const std::string& section, TComponent& component, const std::vector<std::wstring>& propNames,
                        const std::string& extra) {
  if (component.Name().empty() || component.ActionComponent()) return;
  const std::string name = WideToAnsi(component.Name());
  GetMultiLanguage()->TranslateProperties(section, component, propNames, extra.empty() ? name : extra + "." + name);
}

void TranslateComponentTree(const std::string& section, TComponent& component,
                            const std::vector<std::wstring>& propNames, const std::string& extra) {
  TranslateComponent(section, component, propNames, extra);
  for (int i = 0; i < component.ComponentCount(); ++i) {
    TComponent* child = component.Component(i);
    if (!child->IsForm()) TranslateComponentTree(section, *child, propNames, extra);
  }
}
