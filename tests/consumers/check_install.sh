#!/usr/bin/env bash
# Builds an application against the library installed under PREFIX in both ways an application
# finds it, the CMake package (find_package(qvcomm)) and pkg-config (qvcomm), and runs it; compiles
# every installed header on its own; checks that the shared library exports no internals.
#
#   check_install.sh [--install BUILD_DIR] PREFIX WORK_DIR
#
# --install first installs the libraries and development files of BUILD_DIR into PREFIX (a
# staging folder). CXX, CXXFLAGS and LDFLAGS are used for the consumers: a sanitizer build's
# consumers need its flags.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

build=""
if [ "${1:-}" = --install ]; then
  build=$2
  shift 2
fi
prefix=$1
work=$2
cxx=${CXX:-c++}
read -r -a cxxflags <<<"${CXXFLAGS:-}"
read -r -a ldflags <<<"${LDFLAGS:-}"

fail() {
  echo "check_install: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
if [ -n "$build" ]; then
  rm -rf "$prefix"
  for component in lib dev widgets widgetsdev; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
  done
fi

pcfile=$(find "$prefix"/lib* -maxdepth 3 -path '*/pkgconfig/qvcomm.pc' -print -quit 2>/dev/null || true)
[ -n "$pcfile" ] || fail "no qvcomm.pc under $prefix"
export PKG_CONFIG_PATH="$(dirname "$pcfile")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
libdir=$(pkg-config --variable=libdir qvcomm)
includedir=$(pkg-config --variable=includedir qvcomm)
library=$libdir/libqvcomm.so
[ -e "$library" ] || fail "no $library"

echo "--- every installed header compiles on its own"
header_check() {
  local header=$1 module=qvcomm
  grep -q '^#include <Q' "$header" && module=qvcommwidgets
  # shellcheck disable=SC2046
  printf '#include <%s>\n' "${header#"$includedir"/qv/}" |
    "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror $(pkg-config --cflags "$module") -x c++ - ||
    fail "$header does not compile on its own"
}
export -f header_check fail
export cxx includedir
headers=$(find "$includedir/qv" -name '*.h' | sort)
[ -n "$headers" ] || fail "no headers under $includedir/qv"
grep -q qvcommbox.h <<<"$headers" && ! pkg-config --exists qvcommwidgets &&
  fail "widgets headers installed without qvcommwidgets.pc"
printf '%s\n' "$headers" | xargs -P 2 -I{} bash -c 'header_check {}'
echo "$(wc -l <<<"$headers") headers"

echo "--- the shared library exports no internals"
exported=$(nm -DC --defined-only "$library")
grep -q 'typeinfo for EqvError' <<<"$exported" || fail "typeinfo for EqvError is not exported"
grep -q 'TqvCustomComm::SetActive' <<<"$exported" || fail "TqvCustomComm::SetActive is not exported"
# Functions of private headers: the system call table, file helpers, the AT probe, the GSM
# component's helpers.
internal=$(grep -E '\(anonymous namespace\)|qv::platform::(Sys|RealSysCalls|SetSysCalls|WriteAll|ReplaceFile|ProbeAt)\(|qv::gsm::(TSyncCall|TWaitScope|TMarkScope)' <<<"$exported" || true)
[ -z "$internal" ] || fail "internal symbols exported: $internal"

echo "--- find_package(qvcomm)"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$here" -B "$work/cmake" "${generator[@]}" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="${cxxflags[*]}" \
  -DCMAKE_EXE_LINKER_FLAGS="${ldflags[*]}" >"$work/cmake.log" || { cat "$work/cmake.log"; fail "configure failed"; }
cmake --build "$work/cmake" >>"$work/cmake.log" || { cat "$work/cmake.log"; fail "build failed"; }
"$work/cmake/consumer"
if [ -x "$work/cmake/widgets_consumer" ]; then
  QT_QPA_PLATFORM=offscreen "$work/cmake/widgets_consumer"
elif pkg-config --exists qvcommwidgets; then
  fail "the widgets are installed, but find_package gave no qv::widgets"
fi

echo "--- pkg-config qvcomm"
# shellcheck disable=SC2046
"$cxx" -std=c++20 "${cxxflags[@]}" "$here/consumer.cpp" -o "$work/pkgconfig-consumer" \
  $(pkg-config --cflags --libs qvcomm) "${ldflags[@]}" -Wl,-rpath,"$libdir"
"$work/pkgconfig-consumer"
echo "check_install: passed"
