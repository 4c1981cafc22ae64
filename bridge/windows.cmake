# vardex-bridge-<arch>.exe: a console program built the relay's way, without a C runtime,
# importing KERNEL32, WS2_32, ADVAPI32 (the service manager, the registry, the Event Log), and
# SECUR32 and CRYPT32 (TLS through Schannel, the broker's certificate).
set(bridge_generated ${CMAKE_BINARY_DIR}/generated/bridge/app)
configure_file(app/bridge_version.h.in ${bridge_generated}/bridge_version.h @ONLY)
# On x64, inlining that may grow a call site by a few instructions: each function inlined away
# also takes its unwind entry with it, which the compiler's size estimate does not count. (The
# bridge is 600 bytes smaller for it; more than 4 inlines whole helpers everywhere, 30% larger.)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(BRIDGE_INLINE_FLAGS --param=max-inline-insns-size=3)
endif()
# Data aligned as the ABI asks, not padded out to 32 bytes for speed the bridge does not need
# (256 bytes less on x86, 80 on x64); a buffer that holds a structure says its alignment itself.
# Whole-program pointer analysis finds a little more to drop (96 bytes on x86, 32 on x64).
list(APPEND BRIDGE_INLINE_FLAGS -malign-data=abi -fipa-pta)
target_compile_options(bridge_core PRIVATE ${VARDEX_LEAN_FLAGS} ${BRIDGE_INLINE_FLAGS})

# The Event Log's message table: windmc beside the toolchain's windres.
string(REPLACE "windres" "windmc" VARDEX_WINDMC ${CMAKE_RC_COMPILER})
add_custom_command(
    OUTPUT ${bridge_generated}/bridge_messages.rc ${bridge_generated}/bridge_messages.h
        ${bridge_generated}/bridge_messages_MSG00409.bin
    COMMAND ${VARDEX_WINDMC} -b -h ${bridge_generated} -r ${bridge_generated}
        ${CMAKE_CURRENT_SOURCE_DIR}/app/bridge_messages.mc
    DEPENDS app/bridge_messages.mc)
add_custom_target(bridge_messages DEPENDS ${bridge_generated}/bridge_messages.rc
    ${bridge_generated}/bridge_messages.h)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(BRIDGE_ENTRY _BridgeEntry)
else()
    set(BRIDGE_ENTRY BridgeEntry)
endif()

add_executable(vardex-bridge
    app/bridge_entry.cpp
    app/bridge_files.cpp
    app/bridge_install.cpp
    platform/win32/win32_bridge_platform.cpp
    platform/win32/win32_slot_reader.cpp
    platform/win32/win32_service.cpp
    platform/win32/win32_tls.cpp
    platform/win32/win32_trust.cpp
    platform/win32/win32_client_certificate.cpp
    ${PROJECT_SOURCE_DIR}/platform/win32/win32_mailslot_client.cpp
    app/vardex-bridge.rc)
add_dependencies(vardex-bridge bridge_messages)
set_source_files_properties(app/vardex-bridge.rc PROPERTIES OBJECT_DEPENDS
    "${bridge_generated}/bridge_messages.rc;${bridge_generated}/bridge_messages_MSG00409.bin")
target_include_directories(vardex-bridge PRIVATE ${PROJECT_SOURCE_DIR}
    ${CMAKE_BINARY_DIR}/generated ${bridge_generated})
target_compile_options(vardex-bridge PRIVATE ${VARDEX_LEAN_FLAGS} ${BRIDGE_INLINE_FLAGS})
target_link_libraries(vardex-bridge PRIVATE bridge_core vardex_memory ws2_32 advapi32 secur32
    crypt32 kernel32)
target_link_options(vardex-bridge PRIVATE ${VARDEX_LEAN_LINK} ${BRIDGE_INLINE_FLAGS} -Wl,-e,${BRIDGE_ENTRY}
    -Wl,--subsystem,console:5.${VARDEX_XP_MINOR} -Wl,-Map,vardex-bridge-${VARDEX_ARCH}.map)
set_property(TARGET vardex-bridge APPEND PROPERTY
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/vardex.ld)
set_target_properties(vardex-bridge PROPERTIES OUTPUT_NAME vardex-bridge-${VARDEX_ARCH})

# vardex-setup-<arch>.dll: the installer package's custom actions (bridge/app/setup_action.cpp),
# built the bridge's way, importing KERNEL32, ADVAPI32 and msi.dll alone. Exported by their plain
# names (--kill-at), as the package's CustomAction table names them.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(SETUP_ENTRY _SetupEntry@12)
else()
    set(SETUP_ENTRY SetupEntry)
endif()
add_library(vardex-setup SHARED app/setup_action.cpp)
add_dependencies(vardex-setup bridge_messages)
target_include_directories(vardex-setup PRIVATE ${PROJECT_SOURCE_DIR} ${bridge_generated})
target_compile_options(vardex-setup PRIVATE ${VARDEX_LEAN_FLAGS})
target_link_libraries(vardex-setup PRIVATE bridge_core vardex_memory msi advapi32 kernel32)
target_link_options(vardex-setup PRIVATE ${VARDEX_LEAN_LINK} -Wl,-e,${SETUP_ENTRY}
    -Wl,--kill-at -Wl,--subsystem,windows:5.${VARDEX_XP_MINOR})
set_property(TARGET vardex-setup APPEND PROPERTY
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/vardex.ld)
set_target_properties(vardex-setup PROPERTIES OUTPUT_NAME vardex-setup-${VARDEX_ARCH} PREFIX ""
    IMPORT_PREFIX "" IMPORT_SUFFIX ".imp.a")
