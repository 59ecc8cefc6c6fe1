#!/usr/bin/env bash
# Compiles every driver and common source file with the 32-bit Windows kernel
# toolchain (mingw-w64 i686) against its DDK headers, with warnings as errors,
# and checks that no object carries static constructors (they would never run
# in a kernel image).  Keeps the seam honest while the host build is the one
# that runs: no 4-byte wchar_t, 64-bit ULONG, missing NTAPI or C++ runtime
# feature can creep into driver code.
#
# Usage: target_compile.sh SOURCE_DIR OUTPUT_DIR
# Exit 77 (skipped) when the toolchain is missing, unless CI is set.
set -euo pipefail
src=$1
out=$2
cxx=i686-w64-mingw32-g++
if ! command -v "$cxx" >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then
        echo "target toolchain $cxx is missing" >&2
        exit 1
    fi
    echo "target toolchain $cxx not installed: skipped (install g++-mingw-w64-i686 mingw-w64-i686-dev)"
    exit 77
fi
sysroot=$("$cxx" -print-sysroot 2>/dev/null || true)
ddk=""
for candidate in "$sysroot/usr/i686-w64-mingw32/include/ddk" /usr/i686-w64-mingw32/include/ddk \
                 /usr/share/mingw-w64/include/ddk; do
    if [ -f "$candidate/wdm.h" ]; then ddk=$candidate; break; fi
done
if [ -z "$ddk" ]; then
    echo "DDK headers (wdm.h) not found for $cxx" >&2
    exit 1
fi
mkdir -p "$out"
flags=(-std=gnu++17 -O2 -Wall -Wextra -Werror -Wno-multichar -Werror=frame-larger-than=1024
       -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
       -fno-stack-protector -fno-threadsafe-statics -fno-use-cxa-atexit -fno-ident
       -mgeneral-regs-only -mno-stack-arg-probe -D_WIN32_WINNT=0x0600 -DPCMF_TARGET_KERNEL
       -isystem "$ddk" -I"$src/pcmciafilter")
status=0
for file in "$src"/pcmciafilter/sys/*.cpp "$src"/pcmciafilter/common/*.cpp; do
    object="$out/$(basename "$file" .cpp).o"
    if ! "$cxx" "${flags[@]}" -c "$file" -o "$object"; then
        echo "FAILED: $file" >&2
        status=1
        continue
    fi
    if i686-w64-mingw32-objdump -h "$object" | grep -qE '\.ctors|\.init_array' ||
       i686-w64-mingw32-nm "$object" | grep -q '_GLOBAL__sub_I_'; then
        echo "FAILED: $file has a static constructor" >&2
        status=1
    fi
    echo "compiled for the target: ${file#$src/}"
done
exit $status
