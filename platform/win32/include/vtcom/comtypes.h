// The COM binary interface of Vantrel on Windows: the system's own COM headers.
//
// Shared code and the public contract headers include <vtcom/comtypes.h> on both platforms; on
// Windows this brings in the SDK's definitions (ole32 and oleaut32 provide the runtime), with
// the Windows header macros kept small: no min/max macros and the lean set of headers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>
#include <unknwn.h>

static_assert(sizeof(VARIANT) == 24, "VARIANT must have the 64-bit Windows layout");
static_assert(sizeof(SAFEARRAY) == 32, "SAFEARRAY must have the 64-bit Windows layout");
