# vardex-bridge-<arch>.exe: a console program built the relay's way, without a C runtime, importing
# KERNEL32 and WS2_32 only.
configure_file(app/bridge_version.h.in ${CMAKE_BINARY_DIR}/generated/bridge/app/bridge_version.h
    @ONLY)
target_compile_options(bridge_core PRIVATE ${VARDEX_LEAN_FLAGS})

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(BRIDGE_ENTRY _BridgeEntry)
else()
    set(BRIDGE_ENTRY BridgeEntry)
endif()

add_executable(vardex-bridge
    app/bridge_entry.cpp
    platform/win32/win32_bridge_platform.cpp
    ${PROJECT_SOURCE_DIR}/platform/win32/win32_mailslot_client.cpp
    app/vardex-bridge.rc)
target_include_directories(vardex-bridge PRIVATE ${PROJECT_SOURCE_DIR}
    ${CMAKE_BINARY_DIR}/generated)
target_compile_options(vardex-bridge PRIVATE ${VARDEX_LEAN_FLAGS})
target_link_libraries(vardex-bridge PRIVATE bridge_core vardex_memory ws2_32 kernel32)
target_link_options(vardex-bridge PRIVATE ${VARDEX_LEAN_LINK} -Wl,-e,${BRIDGE_ENTRY}
    -Wl,--subsystem,console:5.${VARDEX_XP_MINOR} -Wl,-Map,vardex-bridge-${VARDEX_ARCH}.map)
set_target_properties(vardex-bridge PROPERTIES OUTPUT_NAME vardex-bridge-${VARDEX_ARCH})
