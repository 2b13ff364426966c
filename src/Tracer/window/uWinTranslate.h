// Translation of windows: the component walk over the translation service's property
// translation. Lives with the window layer because it walks its components.
#pragma once
#include <string>
#include <vector>

#include "Tracer/window/uWinBase.h"

// The properties of one component, under the keys "<extra>.<name>.<property>" (without extra:
// "<name>.<property>"). Components without a name, and components bound to an action (whose
// texts come from the action), are left alone.
void TranslateComponent(const std::string& section, TComponent& component, const std::vector<std::wstring>& propNames,
                        const std::string& extra);
// The component, then every component it owns that is not a form, depth first, in order of
// ownership.
void TranslateComponentTree(const std::string& section, TComponent& component,
                            const std::vector<std::wstring>& propNames, const std::string& extra);
