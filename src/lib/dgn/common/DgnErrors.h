// Exceptions of the diagnostics library.
#pragma once
#include "lib/rtl/SysUtils.h"

// Base of the library's own exceptions.
CW_DECLARE_EXCEPTION(EDgnError, Exception);
CW_DECLARE_EXCEPTION(EDgnInternalError, EDgnError);
