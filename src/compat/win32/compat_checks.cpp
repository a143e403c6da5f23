// Compile-time checks that the system's COM vocabulary has the shapes the core relies on
// (the POSIX definitions are written to the same shapes).
#include "compat/com.h"

static_assert(sizeof(OLECHAR) == 2, "OLECHAR is a 16-bit unit");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(DWORD) == 4, "32-bit integers");
static_assert(sizeof(VARIANT) == 24, "VARIANT has the platform's 64-bit layout");
static_assert(VT_EMPTY == 0 && VT_I4 == 3 && VT_BSTR == 8, "variant type numbers");
static_assert(MakeHresult(0x80004005u) == E_FAIL, "HRESULT values");
