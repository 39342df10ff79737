#!/bin/sh
# Checks the built library file: that it is a shared object for the target,
# its SONAME, that it exports exactly the public interface, that it allocates
# nothing from the heap, and that at run time it needs nothing but libc and
# the thread library.
# usage: check_library.sh LIBRARY NM READELF DEBIAN_ARCH [SANITIZERS]
set -eu
export LC_ALL=C
lib=$1 nm=$2 readelf=$3 arch=$4 sanitize=${5:-}
status=0
fail() { echo "FAIL: $*"; status=1; }

header=$("$readelf" -h "$lib")
header_field() { echo "$header" | sed -n "s/^ *$1: *//p"; }
case $(header_field Type) in DYN*) ;; *) fail "not a shared object: $(header_field Type)" ;; esac
case $arch in
armhf) identity="ELF32|ARM|Version5 EABI|hard-float ABI" ;;
amd64) identity="ELF64|Advanced Micro Devices X86-64" ;;
*) identity="" ;; # no expectation for other machines
esac
if [ -n "$identity" ]; then
    seen="$(header_field Class)|$(header_field Machine)|$(header_field Flags)"
    old_ifs=$IFS IFS='|'
    for part in $identity; do
        case "|$seen" in *"$part"*) ;; *) fail "$arch library lacks '$part' in its header ($seen)" ;; esac
    done
    IFS=$old_ifs
fi

expected_exports="init_serial
kill_tty_user
main
pwm_uart_init
set_realtime_priority
uart_close
uart_init
uart_recv
uart_recv_hex
uart_send
uart_set_canonical
uart_set_raw"

soname=$("$readelf" -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libfactory_uartUtil.so.1" ] || fail "SONAME is '$soname'"

exports=$("$nm" -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sort)
if [ -n "$sanitize" ]; then
    # Instrumented builds add the sanitizer's own hooks.
    exports=$(echo "$exports" | grep -v '^__' || true)
fi
[ "$exports" = "$expected_exports" ] || fail "exports differ from the interface:
$(printf '%s\n' "$exports" | diff -u /dev/fd/3 - 3<<E || true
$expected_exports
E
)"

imports=$("$nm" -D --undefined-only "$lib" | awk '{print $NF}' | sed 's/@.*//')
for symbol in $imports; do
    case $symbol in
    malloc | calloc | realloc | free | posix_memalign | aligned_alloc | memalign | valloc | strdup | strndup)
        fail "imports the allocator: $symbol" ;;
    __cxa_finalize) ;; # libc's, in every shared object
    _Z* | __cxa_* | __gxx_personality*) [ -n "$sanitize" ] || fail "imports the C++ run time: $symbol" ;;
    esac
done

if [ -z "$sanitize" ]; then
    needed=$("$readelf" -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p')
    for library in $needed; do
        case $library in
        libc.so.* | libpthread.so.* | ld-linux*.so.*) ;;
        *) fail "needs $library at run time" ;;
        esac
    done
fi

[ $status -eq 0 ] && echo "library interface: ok ($arch; $(echo "$exports" | wc -l) exports; needs: $(
    "$readelf" -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' '))"
exit $status
