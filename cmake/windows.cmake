# The Windows build's part of the project, included from the top CMakeLists.txt when
# cross-building with cmake/mingw-w64-x86_64.cmake.
#
# libsoxr for Windows is built from Debian's source package by tools/windows/soxr.sh; its
# folder is PALOMIR_SOXR_PREFIX (build-windows-deps/soxr beside the tree's builds by default).
set(PALOMIR_SOXR_PREFIX "${CMAKE_SOURCE_DIR}/build-windows-deps/soxr" CACHE PATH
    "libsoxr built for Windows (tools/windows/soxr.sh)")
find_library(PALOMIR_SOXR_LIBRARY soxr PATHS "${PALOMIR_SOXR_PREFIX}/lib" NO_DEFAULT_PATH
             NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(PALOMIR_SOXR_INCLUDE soxr.h PATHS "${PALOMIR_SOXR_PREFIX}/include" NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(palomir_soxr STATIC IMPORTED)
set_target_properties(palomir_soxr PROPERTIES IMPORTED_LOCATION "${PALOMIR_SOXR_LIBRARY}"
                      INTERFACE_INCLUDE_DIRECTORIES "${PALOMIR_SOXR_INCLUDE}")
set(PALOMIR_SOXR palomir_soxr)

# Wide-character Windows calls, and no min/max macros in the way of the standard library's.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)

# What is built for Windows beyond the game's core, its virtual machine and the scenario
# runner: the suite that runs on the virtual machine.
function(palomir_windows_targets)
  # Windows' side of the core's file handling (platform/files.h).
  get_target_property(sources palomir_core SOURCES)
  list(REMOVE_ITEM sources platform/files_posix.cpp)
  set_property(TARGET palomir_core PROPERTY SOURCES ${sources} platform/win32/files_win.cpp)
  # The Windows machine: a Win32 window with a GDI card, DirectInput 8, WASAPI, SAPI 5 and
  # UI Automation's notifications (taken from its DLL at run time).
  add_library(palomir_win32 STATIC
    platform/win32/win32_platform.cpp
    platform/win32/wasapi_output.cpp
    platform/win32/sapi_voice.cpp
    platform/win32/app.cpp
  )
  target_link_libraries(palomir_win32 PUBLIC palomir_core dinput8 dxguid sapi ole32 oleaut32 uuid
                                             avrt gdi32 user32 shell32)
  target_compile_options(palomir_win32 PRIVATE ${PALOMIR_WARNINGS})

  # A program of the desktop (no console window of its own); started from a console, it
  # writes there.
  add_executable(palomir WIN32 app/main.cpp)
  target_compile_definitions(palomir PRIVATE PALOMIR_VERSION="${PROJECT_VERSION}")
  target_link_libraries(palomir PRIVATE palomir_win32)
  target_compile_options(palomir PRIVATE ${PALOMIR_WARNINGS})

  file(GLOB sounds ${CMAKE_SOURCE_DIR}/sounds/*.wav)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/sounds/.copied
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/sounds ${CMAKE_BINARY_DIR}/sounds
    COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/sounds/.copied
    DEPENDS ${sounds})
  add_custom_target(sounds ALL DEPENDS ${CMAKE_BINARY_DIR}/sounds/.copied)
  add_dependencies(palomir sounds catalogs)  # the catalogs ship beside it (locale\LANG)

  if(PALOMIR_TESTS)
    # GoogleTest built for Windows from Debian's source of it (libgtest-dev), with the suite.
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_subdirectory(tests)
  endif()
endfunction()
