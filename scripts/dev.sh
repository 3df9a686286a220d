#!/usr/bin/env bash
# Set-up and entry points behind the Makefile: installs what is missing (system packages, the
# virtual environment, the build), then runs the example, the tests or the benchmarks.
#
#   scripts/dev.sh example | test | bench
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
VENV="$ROOT/.venv"
TEST_TOOLS=(pytest hypothesis numpy pydantic mypy pyperf pyyaml immutables)
BUILD_TOOLS=(scikit-build-core cmake ninja)

log() { printf '==> %s\n' "$*" >&2; }

ensure_system_packages() {
    local need=()
    [ -f /usr/include/libfyaml.h ] || need+=(libfyaml-dev)
    [ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
    [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
    command -v pkg-config >/dev/null || need+=(pkg-config)
    command -v g++ >/dev/null || need+=(g++)
    [ ${#need[@]} -eq 0 ] && return
    log "installing system packages: ${need[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
}

# The interpreter the main virtual environment is made with: the first CPython >= 3.11 found.
primary_python() {
    local py
    for py in "${PYTHON:-}" python3 python3.14 python3.13 python3.12 python3.11; do
        [ -n "$py" ] && command -v "$py" >/dev/null 2>&1 || continue
        if "$py" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
            command -v "$py"
            return
        fi
    done
    echo "no CPython 3.11 or newer found" >&2
    return 1
}

# Every other CPython >= 3.11 on the machine (pyenv versions, /usr/bin), one per minor version.
other_pythons() {
    local primary_minor seen=" " py minor
    primary_minor="$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    seen+="$primary_minor "
    local candidates=()
    if [ -d "${PYENV_ROOT:-$HOME/.pyenv}/versions" ]; then
        candidates+=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3)
    fi
    candidates+=(/usr/bin/python3.1[1-9] /usr/local/bin/python3.1[1-9])
    for py in "${candidates[@]}"; do
        [ -x "$py" ] || continue
        minor="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 11) and sys.implementation.name == "cpython" else None' 2>/dev/null || true)"
        [ -n "$minor" ] && [ "$minor" != "None" ] || continue
        case "$seen" in *" $minor "*) continue ;; esac
        seen+="$minor "
        echo "$py"
    done
}

# ensure_venv PYTHON DIR: a virtual environment with the build and test tools.
ensure_venv() {
    local py="$1" dir="$2"
    if [ ! -x "$dir/bin/python" ]; then
        log "creating $dir with $py"
        "$py" -m venv "$dir"
    fi
    if ! "$dir/bin/python" -c 'import pytest, hypothesis, numpy, pydantic, mypy, pyperf, yaml, immutables, scikit_build_core' 2>/dev/null; then
        log "installing build and test tools into $dir"
        "$dir/bin/python" -m pip install -q --disable-pip-version-check "${BUILD_TOOLS[@]}" "${TEST_TOOLS[@]}"
    fi
}

# build DIR: build and install the package into the environment (incremental).
build() {
    local dir="$1"
    log "building norva_core for $("$dir/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    PATH="$dir/bin:$PATH" "$dir/bin/python" -m pip install -q --disable-pip-version-check \
        --no-build-isolation --no-deps --force-reinstall "$ROOT"
}

cpp_tests() {
    local dir="$1"
    log "C++ unit tests"
    cmake -S "$ROOT" -B "$ROOT/build/cpp" -G Ninja -DNORVA_CPP_TESTS=ON \
        -DPython_EXECUTABLE="$dir/bin/python" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$ROOT/build/cpp" --target norva_cpp_tests >/dev/null
    "$ROOT/build/cpp/norva_cpp_tests" --gtest_brief=1
}

setup() {
    ensure_system_packages
    PRIMARY="$(primary_python)"
    ensure_venv "$PRIMARY" "$VENV"
    build "$VENV"
}

case "${1:-}" in
    example)
        setup
        "$VENV/bin/python" "$ROOT/examples/tour.py"
        ;;
    test)
        setup
        PATH="$VENV/bin:$PATH" cpp_tests "$VENV"
        log "test suite on $("$VENV/bin/python" --version)"
        "$VENV/bin/python" -m pytest -q "$ROOT/tests"
        others="$(other_pythons "$VENV/bin/python")"
        for py in $others; do
            minor="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
            dir="$ROOT/.venv-$minor"
            ensure_venv "$py" "$dir"
            build "$dir"
            log "test suite on $("$dir/bin/python" --version)"
            "$dir/bin/python" -m pytest -q "$ROOT/tests"
        done
        ;;
    bench)
        setup
        "$VENV/bin/python" "$ROOT/bench/run.py" "${@:2}"
        ;;
    *)
        echo "usage: $0 example|test|bench" >&2
        exit 2
        ;;
esac
