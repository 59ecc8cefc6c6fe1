#!/usr/bin/env bash
# Builds the real kernel image, pcmfilter.sys, and the control tool,
# pcmfilterctl.exe, for 32-bit x86 Windows with the
# mingw-w64 i686 toolchain from the same driver sources the host build uses,
# and checks it: a native-subsystem PE32 image for i386, entry DriverEntry,
# importing only from ntoskrnl.exe and HAL.dll, with no static constructors,
# its pageable and discardable code in PAGE and INIT.  Prints the imports.
#
# Usage: target_image.sh SOURCE_DIR OUTPUT_DIR
# Exit 77 (skipped) when the toolchain is missing, unless CI is set.
set -euo pipefail
src=$1
out=$2
cxx=i686-w64-mingw32-g++
objdump=i686-w64-mingw32-objdump
if ! command -v "$cxx" >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then
        echo "target toolchain $cxx is missing" >&2
        exit 1
    fi
    echo "target toolchain $cxx not installed: skipped (install g++-mingw-w64-i686 mingw-w64-i686-dev)"
    exit 77
fi
ddk=""
for candidate in /usr/i686-w64-mingw32/include/ddk /usr/share/mingw-w64/include/ddk; do
    if [ -f "$candidate/wdm.h" ]; then ddk=$candidate; break; fi
done
[ -n "$ddk" ] || { echo "DDK headers (wdm.h) not found" >&2; exit 1; }

mkdir -p "$out/obj"
flags=(-std=gnu++17 -O2 -Wall -Wextra -Werror -Wno-multichar -Werror=frame-larger-than=1024
       -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
       -fno-stack-protector -fno-threadsafe-statics -fno-use-cxa-atexit -fno-ident
       -mgeneral-regs-only -mno-stack-arg-probe -D_WIN32_WINNT=0x0600 -DPCMF_TARGET_KERNEL
       -isystem "$ddk" -I"$src/pcmciafilter")
objects=()
for file in "$src"/pcmciafilter/sys/*.cpp "$src"/pcmciafilter/common/*.cpp; do
    object="$out/obj/$(basename "$file" .cpp).o"
    "$cxx" "${flags[@]}" -c "$file" -o "$object"
    if "$objdump" -h "$object" | grep -qE '\.ctors|\.init_array' ||
       i686-w64-mingw32-nm "$object" | grep -q '_GLOBAL__sub_I_'; then
        echo "FAILED: $file has a static constructor" >&2
        exit 1
    fi
    objects+=("$object")
done

image="$out/pcmfilter.sys"
"$cxx" -nostdlib -nostartfiles -Wl,--fatal-warnings -Wl,--subsystem,native \
    -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 \
    -Wl,--entry,_DriverEntry@8 -Wl,--wdmdriver -Wl,--dynamicbase -Wl,--nxcompat \
    -Wl,--gc-sections -Wl,--no-insert-timestamp -o "$image" "${objects[@]}" -lntoskrnl -lhal

headers=$("$objdump" -p "$image")
fail() { echo "FAILED: $*" >&2; exit 1; }
grep -q 'file format pei-i386' <<<"$headers" || fail "not a PE32 image for i386"
grep -qE '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "subsystem is not native"
grep -q 'WDM_DRIVER' <<<"$headers" || fail "not marked as a WDM driver"
others=$(awk '/DLL Name:/{print tolower($3)}' <<<"$headers" | grep -vxE 'ntoskrnl\.exe|hal\.dll' || true)
[ -z "$others" ] || fail "imports from other DLLs: $others"
entry=$(awk '/^AddressOfEntryPoint/{print $2}' <<<"$headers")
symbol=$(i686-w64-mingw32-nm "$out/obj/entry.o" | awk '/ T _DriverEntry@8$/{print $1}')
[ -n "$symbol" ] || fail "DriverEntry is not defined with C linkage"
sections=$("$objdump" -h "$image")
grep -qE '^ +[0-9]+ PAGE ' <<<"$sections" || fail "no PAGE section"
grep -qE '^ +[0-9]+ INIT ' <<<"$sections" || fail "no INIT section"
# The section a routine's code lies in, from the COFF symbol table ("(sec N)"
# counts the sections from 1).
symbols=$("$objdump" -t "$image")
section_of() {
    local number
    number=$(grep -E "(_|Z[0-9]+)$1(@|P|v|\b)" <<<"$symbols" | sed -nE 's/.*\(sec +([0-9]+)\).*/\1/p' | head -n 1)
    [ -n "$number" ] || { echo "?"; return; }
    awk -v index_="$((number - 1))" '$1 == index_ {print $2}' <<<"$sections"
}
for routine in FilterAddDevice CreateControlDevice DeleteControlDevice DriverUnload; do
    [ "$(section_of "$routine")" = "PAGE" ] || fail "$routine is in '$(section_of "$routine")', not PAGE"
done
[ "$(section_of DriverEntry)" = "INIT" ] || fail "DriverEntry is in '$(section_of DriverEntry)', not INIT"

# The service's control tool as a Windows console program, from the verb
# table the simulator uses.
tool="$out/pcmfilterctl.exe"
"$cxx" -std=gnu++17 -O2 -Wall -Wextra -Werror -D_WIN32_WINNT=0x0501 -I"$src" -I"$src/pcmciafilter" \
    "$src/tools/pcmfilterctl/windows_main.cpp" "$src/tools/common/control_verbs.cpp" -static -o "$tool"
toolHeaders=$("$objdump" -p "$tool")
grep -q 'file format pei-i386' <<<"$toolHeaders" || fail "pcmfilterctl.exe is not a PE32 image for i386"
grep -qE '^Subsystem[[:space:]]+00000003' <<<"$toolHeaders" || fail "pcmfilterctl.exe is not a console program"
echo "built $tool"

echo "built $image (entry point $entry)"
echo "imports:"
awk -F'\t' '/DLL Name:/{split($2, name, " "); dll=name[3]; next}
           dll != "" && NF >= 3 && $3 ~ /^ *[0-9]+ +[A-Za-z_@]/ {split($3, entry, " "); print "  " dll ": " entry[2]}
           /^$/{dll=""}' <<<"$headers"
