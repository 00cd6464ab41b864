# The Windows build's part of the project, included from the top CMakeLists.txt when
# cross-building with cmake/mingw-w64-x86_64.cmake.
#
# libsoxr for Windows is built as a DLL from Debian's source package by tools/windows/soxr.sh;
# its folder is PALOMIR_SOXR_PREFIX (build-windows-deps/soxr beside the tree's builds by
# default). The programs link its import library and find the DLL beside them: it is copied
# next to the game and next to the test programs, under the name libsoxr gave it.
set(PALOMIR_SOXR_PREFIX "${CMAKE_SOURCE_DIR}/build-windows-deps/soxr" CACHE PATH
    "libsoxr built for Windows (tools/windows/soxr.sh)")
find_file(PALOMIR_SOXR_IMPLIB libsoxr.dll.a PATHS "${PALOMIR_SOXR_PREFIX}/lib" NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_file(PALOMIR_SOXR_DLL NAMES libsoxr.dll PATHS "${PALOMIR_SOXR_PREFIX}/bin" NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(PALOMIR_SOXR_INCLUDE soxr.h PATHS "${PALOMIR_SOXR_PREFIX}/include" NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(palomir_soxr SHARED IMPORTED)
set_target_properties(palomir_soxr PROPERTIES IMPORTED_IMPLIB "${PALOMIR_SOXR_IMPLIB}"
                      IMPORTED_LOCATION "${PALOMIR_SOXR_DLL}"
                      INTERFACE_INCLUDE_DIRECTORIES "${PALOMIR_SOXR_INCLUDE}")
set(PALOMIR_SOXR palomir_soxr)
get_filename_component(PALOMIR_SOXR_DLL_NAME "${PALOMIR_SOXR_DLL}" NAME)
set(PALOMIR_SOXR_COPIES ${CMAKE_BINARY_DIR}/${PALOMIR_SOXR_DLL_NAME})
if(PALOMIR_TESTS)
  list(APPEND PALOMIR_SOXR_COPIES ${CMAKE_BINARY_DIR}/tests/${PALOMIR_SOXR_DLL_NAME})
endif()
foreach(copy ${PALOMIR_SOXR_COPIES})
  add_custom_command(OUTPUT ${copy} COMMAND ${CMAKE_COMMAND} -E copy "${PALOMIR_SOXR_DLL}" ${copy}
                     DEPENDS "${PALOMIR_SOXR_DLL}" VERBATIM)
endforeach()
add_custom_target(soxr_dll ALL DEPENDS ${PALOMIR_SOXR_COPIES})

# ENet (the match's link) and miniupnpc (the router's port opener) for Windows are static
# libraries built from Debian's source packages by tools/windows/enet.sh and miniupnpc.sh,
# linked into the programs; their folders are PALOMIR_ENET_PREFIX and PALOMIR_MINIUPNPC_PREFIX
# (build-windows-deps/enet and build-windows-deps/miniupnpc by default).
set(PALOMIR_ENET_PREFIX "${CMAKE_SOURCE_DIR}/build-windows-deps/enet" CACHE PATH
    "ENet built for Windows (tools/windows/enet.sh)")
set(PALOMIR_MINIUPNPC_PREFIX "${CMAKE_SOURCE_DIR}/build-windows-deps/miniupnpc" CACHE PATH
    "miniupnpc built for Windows (tools/windows/miniupnpc.sh)")
# palomir_static_library(NAME PREFIX LIBRARY HEADER [Windows libraries...]): NAME, the
# imported static library PREFIX/lib/LIBRARY with its headers in PREFIX/include (where HEADER
# is), and the Windows libraries it needs in turn.
function(palomir_static_library name prefix library header)
  string(TOUPPER ${name} var)
  find_file(${var}_LIBRARY ${library} PATHS "${prefix}/lib" NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  find_path(${var}_INCLUDE ${header} PATHS "${prefix}/include" NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  add_library(${name} STATIC IMPORTED)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${${var}_LIBRARY}"
                        INTERFACE_INCLUDE_DIRECTORIES "${${var}_INCLUDE}"
                        INTERFACE_LINK_LIBRARIES "${ARGN}")
endfunction()
palomir_static_library(palomir_enet "${PALOMIR_ENET_PREFIX}" libenet.a enet/enet.h ws2_32 winmm)
set(PALOMIR_ENET palomir_enet)
palomir_static_library(palomir_miniupnpc "${PALOMIR_MINIUPNPC_PREFIX}" libminiupnpc.a
                       miniupnpc/miniupnpc.h ws2_32 iphlpapi)
# Its headers declare the static library's functions only when told so.
set_property(TARGET palomir_miniupnpc PROPERTY INTERFACE_COMPILE_DEFINITIONS MINIUPNP_STATICLIB)
set(PALOMIR_MINIUPNPC palomir_miniupnpc)

# Wide-character Windows calls, and no min/max macros in the way of the standard library's.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)

# NVDA's controller interface (platform/win32/nvda_controller.idl): widl makes its client
# stub, which the game calls, and its server stub, which the tests' stand-in for NVDA
# serves. Both are built with platform/win32/rpc_guard.h before them (GCC has no __try).
enable_language(C)
find_program(PALOMIR_WIDL NAMES ${PALOMIR_MINGW}-widl widl REQUIRED)
set(PALOMIR_RPC_DIR ${CMAKE_BINARY_DIR}/rpc)
set(PALOMIR_NVDA_IDL ${CMAKE_SOURCE_DIR}/platform/win32/nvda_controller.idl)
set(PALOMIR_NVDA_CLIENT ${PALOMIR_RPC_DIR}/nvda_controller_c.c)
set(PALOMIR_NVDA_SERVER ${PALOMIR_RPC_DIR}/nvda_controller_s.c)
add_custom_command(
  OUTPUT ${PALOMIR_RPC_DIR}/nvda_controller.h ${PALOMIR_NVDA_CLIENT} ${PALOMIR_NVDA_SERVER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PALOMIR_RPC_DIR}
  COMMAND ${PALOMIR_WIDL} --win64 --prefix-client=nvda_ -h -o ${PALOMIR_RPC_DIR}/nvda_controller.h ${PALOMIR_NVDA_IDL}
  COMMAND ${PALOMIR_WIDL} --win64 --prefix-client=nvda_ -c -o ${PALOMIR_NVDA_CLIENT} ${PALOMIR_NVDA_IDL}
  COMMAND ${PALOMIR_WIDL} --win64 --prefix-client=nvda_ -s -o ${PALOMIR_NVDA_SERVER} ${PALOMIR_NVDA_IDL}
  DEPENDS ${PALOMIR_NVDA_IDL}
  COMMENT "widl: NVDA's controller interface"
  VERBATIM)
set_source_files_properties(${PALOMIR_NVDA_CLIENT} ${PALOMIR_NVDA_SERVER} PROPERTIES
  COMPILE_OPTIONS "-include;${CMAKE_SOURCE_DIR}/platform/win32/rpc_guard.h")

# The Windows machine, and its side of the core's file handling.
function(palomir_windows_machine)
  # Windows' side of the core's file handling (platform/files.h).
  get_target_property(sources palomir_core SOURCES)
  list(REMOVE_ITEM sources platform/files_posix.cpp)
  set_property(TARGET palomir_core PROPERTY SOURCES ${sources} platform/win32/files_win.cpp)
  # The Windows machine: a Win32 window with a GDI card, DirectInput 8, WASAPI, SAPI 5 and
  # UI Automation's notifications (taken from its DLL at run time).
  add_library(palomir_win32 STATIC
    platform/win32/win32_platform.cpp
    platform/win32/xinput_pads.cpp
    platform/win32/wasapi_output.cpp
    platform/win32/sapi_voice.cpp
    platform/win32/readers.cpp
    platform/win32/nvda_reader.cpp
    platform/win32/rpc_guard.c
    ${PALOMIR_NVDA_CLIENT}
    platform/win32/jaws_reader.cpp
    platform/win32/uia_reader.cpp
    platform/win32/uia_provider.cpp
    platform/win32/app.cpp
  )
  target_include_directories(palomir_win32 PRIVATE ${PALOMIR_RPC_DIR})
  target_link_libraries(palomir_win32 PUBLIC palomir_core dinput8 dxguid sapi ole32 oleaut32 uuid
                                             avrt gdi32 user32 shell32 rpcrt4)
  # Warnings are errors in the game's own sources; widl's stubs are as widl makes them.
  target_compile_options(palomir_win32 PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${PALOMIR_WARNINGS}>)
endfunction()

# The suites, with GoogleTest built for Windows from Debian's source of it (libgtest-dev).
function(palomir_windows_tests)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_subdirectory(tests)
  # A stand-in for NVDA, for tests/e2e/nvda_test.py: it serves the controller interface.
  add_executable(nvda_standin tests/e2e/nvda_standin.cpp ${PALOMIR_NVDA_SERVER})
  target_include_directories(nvda_standin PRIVATE ${CMAKE_SOURCE_DIR} ${PALOMIR_RPC_DIR})
  target_link_libraries(nvda_standin PRIVATE rpcrt4)
  target_compile_options(nvda_standin PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${PALOMIR_WARNINGS}>)
endfunction()

# A program's resources (data/windows/palomir.rc.in): the game's icon, its version for
# Explorer's details and its manifest (per-monitor DPI, UTF-8 code page, common controls 6).
enable_language(RC)
function(palomir_windows_resources target file description)
  set(PALOMIR_RC_HEADER ${CMAKE_SOURCE_DIR}/platform/win32/resources.h)
  set(PALOMIR_RC_ICON ${CMAKE_SOURCE_DIR}/data/windows/palomir.ico)
  set(PALOMIR_RC_MANIFEST ${CMAKE_SOURCE_DIR}/data/windows/palomir.manifest)
  set(PALOMIR_RC_NAME ${file})
  set(PALOMIR_RC_DESCRIPTION ${description})
  set(rc ${CMAKE_BINARY_DIR}/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/data/windows/palomir.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres reads the icon and the manifest itself; a change to either remakes the resources.
  set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${PALOMIR_RC_ICON} ${PALOMIR_RC_MANIFEST})
endfunction()
