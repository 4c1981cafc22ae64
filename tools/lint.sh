#!/usr/bin/env bash
# Static analysis of all our sources: clang-tidy (.clang-tidy) over the host build's and the
# 32-bit Windows build's compile commands, and cppcheck. Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset host >/dev/null
cmake --preset x86 >/dev/null
# clang reads the Windows build's GCC command lines; drop the few GCC-only flags it rejects.
mkdir -p build/lint-x86
python3 - <<'PY'
import json
commands = json.load(open("build/x86/compile_commands.json"))
for c in commands:
    c["command"] = " ".join(a for a in c["command"].split()
                            if a not in ("-fno-tree-loop-distribute-patterns", "-malign-data=abi",
                                         "-fipa-pta")
                            and not a.startswith("-falign-"))
json.dump(commands, open("build/lint-x86/compile_commands.json", "w"), indent=1)
PY

host_sources=(core/*.cpp tests/*.cpp tests/fuzz/*.cpp bench/ops_tick.cpp bridge/core/*.cpp
              bridge/tests/*.cpp)
windows_sources=(app/*.cpp platform/win32/*.cpp tools/*.cpp bench/bare_timer.cpp
                 tests/e2e/soak_helper.cpp bridge/app/*.cpp bridge/platform/win32/*.cpp)
status=0
echo "clang-tidy: ${#host_sources[@]} host sources"
clang-tidy -p build/host --quiet "${host_sources[@]}" 2>/dev/null || status=1
echo "clang-tidy: ${#windows_sources[@]} Windows sources"
clang-tidy -p build/lint-x86 --quiet --extra-arg=--target=i686-w64-mingw32 \
    --extra-arg=-Wno-unused-command-line-argument "${windows_sources[@]}" 2>/dev/null || status=1

# Not checked: system headers, functions only GoogleTest's macros call, and the advice to replace
# plain loops with algorithms.
echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ \
    --enable=warning,style,performance,portability --inline-suppr --library=googletest \
    --suppressions-list=tools/cppcheck.suppress -I . \
    core platform app tools tests bench bridge || status=1

if [ $status -eq 0 ]; then echo "lint: 3 passed, 0 failed"; else echo "lint: FAILED"; fi
exit $status
