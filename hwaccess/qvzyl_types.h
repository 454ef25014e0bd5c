#pragma once

// The handle and integer types of the library's exported signatures. On Windows they are the
// system's own types, so the exported names are those a Windows caller expects; elsewhere they
// are portable stand-ins of the same width (their mangled names differ: int, not long).

#include <cstdint>

#if defined(_WIN32)
// long and unsigned long are 32 bits wide on 64-bit Windows.
typedef long QVLONG;
typedef unsigned long QVDWORD;
#else
typedef int32_t QVLONG;
typedef uint32_t QVDWORD;
#endif
static_assert(sizeof(QVLONG) == 4 && sizeof(QVDWORD) == 4);

// An opaque service-manager handle, spelled as <winsvc.h> spells it; declaring it twice is
// harmless when that header is also included.
struct SC_HANDLE__;
typedef struct SC_HANDLE__* SC_HANDLE;
typedef void* HANDLE;

#if defined(_WIN32)
#if defined(QVZYL_IMPORT)
#define QVZYL_API __declspec(dllimport)
#else
#define QVZYL_API __declspec(dllexport)
#endif
#else
#define QVZYL_API __attribute__((visibility("default")))
#endif
