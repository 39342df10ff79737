# Shared by the scripts: install what a fresh Debian machine lacks, and build.
# Sourced, not run.
set -eu
cd "$(dirname "$0")/.."

# Debian packages this project builds and tests with.
need_packages() {
    missing=""
    for pair in "$@"; do
        probe=${pair%%=*} package=${pair#*=}
        case $probe in
        /*) [ -e "$probe" ] || missing="$missing $package" ;;
        pkg:*) dpkg-query -W -f='${Status}' "${probe#pkg:}" 2>/dev/null | grep -q 'ok installed' ||
            missing="$missing $package" ;;
        *) command -v "$probe" >/dev/null 2>&1 || missing="$missing $package" ;;
        esac
    done
    [ -z "$missing" ] && return 0
    echo "installing:$missing"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends $missing
}

need_build_tools() {
    need_packages cmake=cmake ninja=ninja-build g++=g++ gcc=gcc nm=binutils clang-format=clang-format \
        /usr/src/googletest/CMakeLists.txt=googletest
}

# What the presets add: pkg-config for the install checks; for armhf the
# cross compilers and qemu-arm to run what they build; for fuzz clang and
# its libFuzzer and sanitizer run times.
need_preset_tools() {
    need_build_tools
    need_packages pkg-config=pkg-config
    case " $* " in *" armhf "*)
        need_packages arm-linux-gnueabihf-g++=g++-arm-linux-gnueabihf qemu-arm=qemu-user ;;
    esac
    case " $* " in *" fuzz "*)
        need_packages clang++=clang pkg:libclang-rt-14-dev=libclang-rt-14-dev ;;
    esac
}

build_preset() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}
