// The seam between the driver and the kernel it runs in.
//
// This is the only kernel header the driver includes.  In the target build
// (32-bit x86 Windows, PCMF_TARGET_KERNEL defined) it pulls in the toolchain's
// DDK headers and adds the few names they lack.  In the host build it pulls in
// our own declarations, implemented by the host kernel in host/.  Driver code
// uses the kernel's documented names in both worlds and never knows which one
// it is in.
#pragma once

#if defined(PCMF_TARGET_KERNEL)

// wdm.h redefines these two intrinsics in C++ unless told they exist.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#include <ntddscsi.h>
#include <ntdddisk.h>
#include <srb.h>

// Wide literals are 16-bit on the target already.
#ifndef WIDE
#define WIDE(text) L"" text
#endif

// Code placement: the kernel's loader pages out sections whose names begin
// with "PAGE" and discards "INIT" after initialisation.
#define PCMF_PAGED_CODE __attribute__((section("PAGE")))
#define PCMF_INIT_CODE __attribute__((section("INIT")))

#else

#include "host/nt_host.h"

#endif
