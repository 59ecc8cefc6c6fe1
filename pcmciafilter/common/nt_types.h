// Base types of the NT kernel interface, for code that must build in every
// world: the driver (host and target), the host kernel and user-mode tools.
//
// On the host these are our own fixed-width definitions (ULONG is 32 bits,
// WCHAR is a 16-bit char16_t).  In the target kernel build they come from the
// toolchain's DDK headers through the seam; in a Windows user-mode build from
// the platform SDK.
#pragma once

#if defined(_WIN32)
#if defined(PCMF_TARGET_KERNEL)
#include "../kernel/kernel.h"
#else
#include <windows.h>
#ifndef _NTDEF_
typedef LONG NTSTATUS;
#endif
#endif
#define WIDE(text) L"" text
#else

#include <cstddef>
#include <cstdint>

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef std::int8_t CCHAR;
typedef std::int16_t SHORT;
typedef std::int16_t CSHORT;
typedef std::uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef std::int32_t LONG;
typedef LONG* PLONG;
typedef std::uint32_t ULONG;
typedef ULONG* PULONG;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef LONG NTSTATUS;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WIDE(text) u"" text

#endif // _WIN32

#ifndef NT_SUCCESS
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#endif

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_DATA_ERROR
#define STATUS_DATA_ERROR ((NTSTATUS)0xC000003EL)
#endif
