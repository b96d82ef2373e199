#!/usr/bin/env bash
# Installs the build into a scratch prefix, or builds and runs a small client
# of the installed library the way a developer would.
#   install_test.sh install BUILD_DIR WORK_DIR CONFIG
#   install_test.sh find-package WORK_DIR CONSUMER_SOURCE_DIR
#   install_test.sh pkg-config WORK_DIR CONSUMER_SOURCE_DIR PKG_CONFIG
# CC and CFLAGS name the C compiler and its flags.
set -euo pipefail

# The client runs against an empty faked sysfs, so a board plugged into this
# machine cannot change what it prints.
run_client() {
    local empty="$work/empty-sysfs"
    mkdir -p "$empty"
    local out
    out=$(UMOCKDEV_DIR="$empty" umockdev-wrapper "$@")
    if [[ "$out" != "-1" ]]; then
        echo "the client printed '$out', expected '-1'" >&2
        exit 1
    fi
}

mode=$1
case $mode in
install)
    build=$2 work=$3 config=$4
    rm -rf "$work"
    mkdir -p "$work"
    cmake --install "$build" --prefix "$work/prefix" --config "$config" >/dev/null
    ;;
find-package)
    work=$2 source=$3
    out="$work/find-package"
    rm -rf "$out"
    cmake -S "$source" -B "$out" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_C_COMPILER="$CC" -DCMAKE_C_FLAGS="${CFLAGS:-}" >/dev/null
    found=$(sed -n 's/^zoriolib_DIR:PATH=//p' "$out/CMakeCache.txt")
    if [[ "$found" != "$work/prefix/"* ]]; then
        echo "find_package took zoriolib from '$found', not from the scratch prefix" >&2
        exit 1
    fi
    cmake --build "$out" >/dev/null
    run_client "$out/consumer"
    ;;
pkg-config)
    work=$2 source=$3 pkgconfig=$4
    out="$work/pkg-config"
    rm -rf "$out"
    mkdir -p "$out"
    export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
    # Word splitting of the flags is intended.
    # shellcheck disable=SC2046
    "$CC" ${CFLAGS:-} "$source/main.c" -o "$out/consumer" $("$pkgconfig" --cflags --libs zoriolib)
    LD_LIBRARY_PATH="$work/prefix/lib" run_client "$out/consumer"
    ;;
*)
    echo "unknown mode '$mode'" >&2
    exit 2
    ;;
esac
