// COM vocabulary on Windows: the system's own headers.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
