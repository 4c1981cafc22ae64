# The Windows program (built without a C runtime) and the tools, for a MinGW-w64 cross build.
enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(VARDEX_ENTRY _RelayEntry)
    set(VARDEX_BARE_ENTRY _BareEntry)
    set(VARDEX_ARCH x86)
    set(VARDEX_XP_MINOR 1)
    # 32-bit Windows unwinds without tables.
    set(VARDEX_ARCH_FLAGS -fno-asynchronous-unwind-tables -fno-unwind-tables)
    # No code of ours installs an exception handler, so the image says so (NO_SEH) and the
    # loader never looks for one.
    set(VARDEX_ARCH_LINK -Wl,--no-seh)
    set(VARDEX_OPT -Oz)
else()
    set(VARDEX_ENTRY RelayEntry)
    set(VARDEX_BARE_ENTRY BareEntry)
    set(VARDEX_ARCH x64)
    # 64-bit Windows XP is version 5.2.
    set(VARDEX_XP_MINOR 2)
    # x64 unwinds every non-leaf function from its table entry, so the tables stay.
    set(VARDEX_ARCH_FLAGS -fasynchronous-unwind-tables)
    set(VARDEX_ARCH_LINK -Wl,--high-entropy-va)
    # Not -Oz: it moves the stack pointer with push/pop pairs inside function bodies, where the
    # unwind data say it stays put, so debuggers and profilers would walk the stack wrongly.
    set(VARDEX_OPT -Os)
endif()

# Small and freestanding: no stack probes or guards that need runtime helpers. Without probes a
# frame must stay well inside the stack's guard page, hence the frame limit.
set(VARDEX_LEAN_FLAGS -Wframe-larger-than=1024 ${VARDEX_OPT} -fno-exceptions -fno-rtti ${VARDEX_ARCH_FLAGS}
    -fno-stack-protector -mno-stack-arg-probe -fno-threadsafe-statics
    -ffreestanding -fno-tree-loop-distribute-patterns -fno-ident
    -falign-functions=1 -falign-jumps=1 -falign-loops=1 -falign-labels=1 -flto)
target_compile_options(vardex_core PRIVATE ${VARDEX_LEAN_FLAGS})

# The lean link, for the relay and the benchmark's baseline alike: no start-up files and no
# default libraries, so the program imports USER32 and KERNEL32 alone; fatal warnings, so that a
# missing entry symbol cannot leave a program without code; relocations and the loader's
# hardening flags (ASLR, no-execute data, terminal-server aware); no time stamp, so that a build
# is reproducible; Windows XP is the oldest system it asks for.
set(VARDEX_LEAN_LINK ${VARDEX_OPT} -flto -nostdlib -nostartfiles -Wl,--fatal-warnings
    -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/vardex.ld
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware ${VARDEX_ARCH_LINK} -Wl,--no-insert-timestamp
    -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,${VARDEX_XP_MINOR}
    -Wl,--major-os-version,5 -Wl,--minor-os-version,${VARDEX_XP_MINOR} -fno-ident -s)

add_executable(vardex WIN32
    app/entry.cpp
    app/relay_main.cpp
    platform/win32/win32_platform.cpp
    platform/win32/win32_mailslot_client.cpp
    app/vardex.rc)
target_include_directories(vardex PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
target_compile_options(vardex PRIVATE ${VARDEX_LEAN_FLAGS})
# Only what the compiler's own calls need is pulled from here; today nothing is.
add_library(vardex_memory STATIC app/memory.cpp)
target_compile_options(vardex_memory PRIVATE ${VARDEX_LEAN_FLAGS} -fno-builtin -fno-lto)
target_link_libraries(vardex PRIVATE vardex_core vardex_memory user32 kernel32)
target_link_options(vardex PRIVATE ${VARDEX_LEAN_LINK} -Wl,-e,${VARDEX_ENTRY}
    -Wl,-Map,vardex-${VARDEX_ARCH}.map)
set_property(TARGET vardex APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/vardex.ld)
set_target_properties(vardex PROPERTIES OUTPUT_NAME vardex-${VARDEX_ARCH})
# The version resource's numbers and file name, from the project's one version.
configure_file(app/version.h.in vardex_version.h @ONLY)

# The tools are ordinary console programs, linked statically so they need no runtime DLLs, and
# reproducibly: no time stamp, no build folder in their bytes.
foreach(tool probe-standin slot-listen)
    string(REPLACE "-" "_" source ${tool})
    add_executable(${tool} tools/${source}.cpp)
    target_compile_options(${tool} PRIVATE -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
    target_link_options(${tool} PRIVATE -static -s -Wl,--no-insert-timestamp)
    set_target_properties(${tool} PROPERTIES OUTPUT_NAME ${tool}-${VARDEX_ARCH})
endforeach()

# The benchmark's baseline, linked exactly like the relay.
add_executable(bare-timer WIN32 bench/bare_timer.cpp)
target_compile_options(bare-timer PRIVATE ${VARDEX_LEAN_FLAGS})
target_link_options(bare-timer PRIVATE ${VARDEX_LEAN_LINK} -Wl,-e,${VARDEX_BARE_ENTRY})
target_link_libraries(bare-timer PRIVATE user32 kernel32)
set_target_properties(bare-timer PROPERTIES OUTPUT_NAME bare-timer-${VARDEX_ARCH})

# A helper for the soak runs: one timed search tick, a process's handle count and load address,
# the relay run from an address other than its preferred one, and a PFX put into the machine's
# certificate store.
add_executable(soak-helper tests/e2e/soak_helper.cpp platform/win32/win32_platform.cpp
    platform/win32/win32_mailslot_client.cpp)
target_include_directories(soak-helper PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(soak-helper PRIVATE vardex_core crypt32)
target_link_options(soak-helper PRIVATE -static -s)
set_target_properties(soak-helper PROPERTIES OUTPUT_NAME soak-helper-${VARDEX_ARCH})
