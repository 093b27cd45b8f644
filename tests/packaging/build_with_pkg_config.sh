#!/usr/bin/env bash
# Builds the host program with nothing but the compiler and the flags pkg-config gives for the
# installed native64.pc, as a host without CMake does, then runs it.
# Usage: build_with_pkg_config.sh PREFIX HOST_SOURCE OUTPUT_DIR CXX [EXTRA_FLAGS...]
set -euo pipefail
prefix=$1 source=$2 out=$3 cxx=$4
shift 4

pc_file=$(find "$prefix" -name native64.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc_file" ] || { echo "no native64.pc under $prefix" >&2; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc_file")
export PKG_CONFIG_LIBDIR=$PKG_CONFIG_PATH  # only this prefix's packages

libdir=$(pkg-config --variable=libdir native64)
mkdir -p "$out"
# shellcheck disable=SC2046  # pkg-config's flags are meant to be split
"$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror "$@" "$source" \
  $(pkg-config --cflags --libs native64) -Wl,-rpath,"$libdir" -o "$out/host"
"$out/host"
