// Translation of windows: the component walk over the translation service's property
// translation. Lives with the window layer because it walks its components.
//
// Each translated text remembers the text it was translated from, so a window translated
// again (another language, English included) starts from its built-in texts and not from the
// previous language's words: RestoreBuiltInTexts first, then the translations.
#pragma once
#include <string>
#include <vector>

#include "Tracer/window/uWinBase.h"

// TMultiLanguage::TranslateProperties with the keys prefix + "." + property, remembering for
// each text what it was translated from.
void TranslatePropertiesOf(const std::string& section, TComponent& component,
                           const std::vector<std::wstring>& propNames, const std::string& prefix);
// The properties of one component, under the keys "<extra>.<name>.<property>" (without extra:
// "<name>.<property>"). Components without a name, and components bound to an action (whose
// texts come from the action), are left alone.
void TranslateComponent(const std::string& section, TComponent& component, const std::vector<std::wstring>& propNames,
                        const std::string& extra);
// The component, then every component it owns that is not a form, depth first, in order of
// ownership.
void TranslateComponentTree(const std::string& section, TComponent& component,
                            const std::vector<std::wstring>& propNames, const std::string& extra);
// Puts back the built-in text of every translated text of the component and the components it
// owns (forms excepted) that nobody changed since it was translated.
void RestoreBuiltInTexts(TComponent& component, const std::vector<std::wstring>& propNames);
