#!/usr/bin/env bash
# The installed package as a user meets it: installs the build into a fresh prefix and moves the
# prefix elsewhere (so nothing may remember where it was built or installed), then, with a clean
# environment, runs a host built with CMake's find_package, one built with pkg-config, every whole
# C++ program of the README (built with pkg-config too) and the installed demo with its exporter.
# Usage: PackageTest.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -uo pipefail
build="$1"
source="$2"
work="$3"
rm -rf "$work" && mkdir -p "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Nothing from the caller's environment: no LD_LIBRARY_PATH, no PATH to find libraries by.
clean() { env -i "$@"; }

cmake --install "$build" --prefix "$work/installed" >"$work/install.log" ||
    { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
mv "$work/installed" "$work/prefix"
prefix="$work/prefix"
libdir="$(dirname "$(find "$prefix" -name quillmetrics.pc)")/.."
exporter=false
[ -e "$libdir/pkgconfig/quillmetrics-prometheus.pc" ] && exporter=true

# Every installed program and library finds what it links with on its own.
while IFS= read -r file; do
    missing="$(clean /usr/bin/ldd "$file" 2>&1 | grep "not found")"
    [ -z "$missing" ] || fail "$file: $missing"
done < <(find "$prefix/bin" "$libdir" -maxdepth 1 -type f)

# A CMake host.
if cmake -S "$source/tests/package" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" \
    >"$work/cmake-host.log" 2>&1 && cmake --build "$work/cmake-host" >>"$work/cmake-host.log" 2>&1; then
    clean "$work/cmake-host/package_consumer" || fail "the CMake host did not run"
    if $exporter; then
        clean "$work/cmake-host/package_prometheus_consumer" || fail "the CMake exporter host did not run"
    fi
else
    cat "$work/cmake-host.log"
    fail "the CMake host did not build"
fi

# pkg-config hosts: the package test's own, then the README's programs.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cflags="$(pkg-config --cflags quillmetrics)" || fail "pkg-config does not know quillmetrics"
[[ "$cflags" != *-std=* ]] || fail "the .pc file forces a language standard: $cflags"
mkdir -p "$work/readme"
python3 - "$source/README.md" "$work/readme" <<'PY' || fail "the README's C++ blocks"
# Each ```cpp block is a whole program (it has a main) or is marked ```cpp fragment.
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
blocks = re.findall(r"^```cpp([^\n]*)\n(.*?)^```$", text, re.S | re.M)
programs = 0
for number, (info, code) in enumerate(blocks, 1):
    if info.strip() == "fragment":
        continue
    if not re.search(r"\bint main\(", code):
        sys.exit(f"README C++ block {number} is neither a whole program nor marked fragment")
    programs += 1
    open(f"{sys.argv[2]}/program{number}.cpp", "w", encoding="utf-8").write(code)
if programs == 0:
    sys.exit("no programs in the README")
PY
for program in "$source/tests/package/Consumer.cpp" "$work"/readme/*.cpp; do
    [ -e "$program" ] || continue
    name="$(basename "$program" .cpp)"
    packages=(quillmetrics)
    if grep -q "PrometheusExporter.h" "$program"; then
        $exporter || continue
        packages+=(quillmetrics-prometheus)
    fi
    # shellcheck disable=SC2046  # the flags are words
    if ! c++ -Wall -Wextra -Werror -o "$work/readme/$name" "$program" \
        $(pkg-config --cflags --libs "${packages[@]}") \
        -Wl,-rpath,"$(pkg-config --variable=libdir quillmetrics)" 2>"$work/readme/$name.log"; then
        cat "$work/readme/$name.log"
        fail "$name does not build with pkg-config"
        continue
    fi
    mkdir -p "$work/readme/$name.run"
    (cd "$work/readme/$name.run" && clean "../$name" >out.txt 2>err.txt) ||
        fail "$name did not run: $(cat "$work/readme/$name.run/err.txt")"
done

# The installed demo, loading the installed exporter on a free port.
mkdir -p "$work/demo"
prom=()
$exporter && prom=(-prom=127.0.0.1:0)
if (cd "$work/demo" && clean "$prefix/bin/quillmetrics-demo" --events=3 "${prom[@]}" \
    >out.txt 2>err.txt); then
    ! grep -q "^\[w\]" "$work/demo/err.txt" || fail "the installed demo warned: $(cat "$work/demo/err.txt")"
else
    fail "the installed demo failed: $(cat "$work/demo/err.txt")"
fi

[ "$failures" -eq 0 ] && echo "package: all checks passed"
exit "$failures"
