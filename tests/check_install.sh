#!/bin/sh
# Checks what `cmake --install` and the Debian package deliver.
#
#   tree:    installs into a temporary prefix, checks the file list, and
#            builds and runs a C consumer twice against it, once through
#            pkg-config and once through find_package.
#   package: makes the .deb with cpack and checks its metadata, its file
#            list, that its programs are stripped, that Depends covers the
#            newest C library symbol they use, and the boot service.
#
# usage: check_install.sh tree|package BUILD_DIR LIBDIR BUILD_TYPE READELF DEB_ARCH CC TOOLCHAIN [EMULATOR...]
set -eu
export LC_ALL=C
mode=$1 build=$2 libdir=$3 build_type=$4 readelf=$5 deb_arch=$6 cc=$7 toolchain=$8
shift 8
emulator="$*" # empty for native builds
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# Every file and link an install holds, relative to its prefix.
expected_files() {
    config=$(echo "$build_type" | tr 'A-Z' 'a-z')
    sort <<E
bin/factory-handshake
bin/uart-station
include/factory_uartUtil.h
$libdir/cmake/factory_uartUtil/factory_uartUtilConfig.cmake
$libdir/cmake/factory_uartUtil/factory_uartUtilConfigVersion.cmake
$libdir/cmake/factory_uartUtil/factory_uartUtilTargets-$config.cmake
$libdir/cmake/factory_uartUtil/factory_uartUtilTargets.cmake
$libdir/libfactory_uartUtil.so
$libdir/libfactory_uartUtil.so.1
$libdir/libfactory_uartUtil.so.1.0.0
$libdir/pkgconfig/factory_uartUtil.pc
lib/systemd/system/factory-handshake.service
E
}

check_tree() { # ROOT: the files under it and the library's links
    actual=$(cd "$1" && find . ! -type d | sed 's|^\./||' | sort)
    expected=$(expected_files)
    [ "$actual" = "$expected" ] || fail "installed files differ:
$(echo "$actual" | diff -u /dev/fd/3 - 3<<E || true
$expected
E
)"
    [ "$(readlink "$1/$libdir/libfactory_uartUtil.so")" = libfactory_uartUtil.so.1 ] || fail "libfactory_uartUtil.so link"
    [ "$(readlink "$1/$libdir/libfactory_uartUtil.so.1")" = libfactory_uartUtil.so.1.0.0 ] || fail "SONAME link"
}

run_consumer() { # HOW PROGRAM PREFIX
    if out=$(LD_LIBRARY_PATH="$3/$libdir" $emulator "$2" 2>&1) && [ "$out" = "c_consumer: ok" ]; then
        echo "consumer built with $1: ok"
    else
        fail "consumer built with $1: $out"
    fi
}

tree() {
    prefix=$work/prefix
    cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
    check_tree "$prefix"

    pc_dir=$prefix/$libdir/pkgconfig
    version=$(PKG_CONFIG_LIBDIR=$pc_dir pkg-config --modversion factory_uartUtil)
    [ "$version" = 1.0.0 ] || fail "pkg-config version is '$version'"
    flags=$(PKG_CONFIG_LIBDIR=$pc_dir pkg-config --cflags --libs factory_uartUtil)
    if $cc -std=c99 -Wall -Werror "$source_dir/tests/c_consumer.c" $flags -o "$work/with_pkg_config"; then
        run_consumer pkg-config "$work/with_pkg_config" "$prefix"
    else
        fail "consumer does not build with pkg-config flags: $flags"
    fi

    # A cross build finds packages only under its root paths: the prefix is one.
    cross=""
    [ -z "$toolchain" ] || cross="-DCMAKE_TOOLCHAIN_FILE=$toolchain -DCMAKE_FIND_ROOT_PATH=$prefix"
    if cmake -S "$source_dir/tests/install_consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        $cross >"$work/consumer.log" 2>&1 && cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1; then
        run_consumer find_package "$work/consumer/c_consumer" "$prefix"
    else
        cat "$work/consumer.log"
        fail "consumer does not build with find_package"
    fi
}

# The newest GLIBC_x.y symbol version an ELF file needs.
newest_glibc() {
    "$readelf" -V --wide "$1" | sed -n 's/.*Name: GLIBC_\([0-9.]*\).*/\1/p' | sort -t. -k1,1n -k2,2n | tail -1
}

package() {
    cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
    deb=$(ls "$work"/out/*.deb)
    [ "$(basename "$deb")" = "factory-uartutil_1.0.0_$deb_arch.deb" ] || fail "package file is $(basename "$deb")"
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = factory-uartutil ] || fail "Package: $(field Package)"
    [ "$(field Version)" = 1.0.0 ] || fail "Version: $(field Version)"
    [ "$(field Architecture)" = "$deb_arch" ] || fail "Architecture: $(field Architecture)"
    [ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no Maintainer or Description"

    root=$work/root
    dpkg-deb -x "$deb" "$root"
    [ -d "$root/usr" ] && [ "$(ls "$root")" = usr ] || fail "package installs outside /usr: $(ls "$root")"
    check_tree "$root/usr"

    depends=$(field Depends | sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p')
    for file in "$root/usr/bin/factory-handshake" "$root/usr/bin/uart-station" "$root/usr/$libdir/libfactory_uartUtil.so.1.0.0"; do
        "$readelf" -S --wide "$file" | grep -q -e '\.symtab' -e '\.debug_' && fail "$(basename "$file") is not stripped"
        needs=$(newest_glibc "$file")
        newest=$(printf '%s\n%s\n' "$needs" "$depends" | sort -t. -k1,1n -k2,2n | tail -1)
        [ -n "$depends" ] && [ "$newest" = "$depends" ] ||
            fail "$(basename "$file") needs GLIBC_$needs; Depends: $(field Depends)"
    done
    "$readelf" -h "$root/usr/bin/factory-handshake" >/dev/null || fail "factory-handshake is not an ELF file"

    unit=$root/usr/lib/systemd/system/factory-handshake.service
    grep -qx 'ExecStart=/usr/bin/factory-handshake' "$unit" || fail "the unit does not start /usr/bin/factory-handshake"
    grep -qx 'Conflicts=serial-getty@ttyS0.service' "$unit" || fail "the unit leaves the login prompt on ttyS0"
    if command -v systemd-analyze >/dev/null 2>&1; then
        # Against this machine's units, with the program where it was unpacked.
        sed "s|^ExecStart=|ExecStart=$root|" "$unit" >"$work/factory-handshake.service"
        systemd-analyze verify --man=no "$work/factory-handshake.service" || fail "systemd-analyze rejects the unit"
    fi
    echo "package $(basename "$deb"): $(dpkg-deb -c "$deb" | grep -vc '/$') entries, Depends: $(field Depends)"
}

case $mode in
tree | package) $mode ;;
*) echo "usage: check_install.sh tree|package ..." >&2; exit 2 ;;
esac
[ $status -eq 0 ] && echo "check_install $mode: ok"
exit $status
