#include <cstdint>

// Exported by name at ordinal 1 (DgnHookExcept.def); holds zero for the whole run.
extern "C" {
__attribute__((used)) volatile uint32_t __DgnHookExcept = 0;
}
