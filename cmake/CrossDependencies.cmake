# Dependencies of a cross build. Debian's packages are built for the build
# machine, so only their headers serve: {fmt} header-only, nlohmann/json, and
# GoogleTest compiled here from Debian's sources. The headers are reached
# through a folder of their own, never through /usr/include, whose C library
# headers would shadow the target's.
set(tarnwick_host_headers ${CMAKE_BINARY_DIR}/cross-headers)
file(MAKE_DIRECTORY ${tarnwick_host_headers})
foreach(header_dir fmt nlohmann)
  if(NOT EXISTS /usr/include/${header_dir})
    message(FATAL_ERROR "/usr/include/${header_dir} is missing: ./dev windows installs it")
  endif()
  file(CREATE_LINK /usr/include/${header_dir} ${tarnwick_host_headers}/${header_dir} SYMBOLIC)
endforeach()

add_library(fmt::fmt INTERFACE IMPORTED GLOBAL)
set_target_properties(fmt::fmt PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${tarnwick_host_headers}
  INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY=1)
add_library(fmt::fmt-header-only ALIAS fmt::fmt)

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${tarnwick_host_headers})

if(TARNWICK_BUILD_TESTS)
  # Wine shows the build machine's root as drive Z:, so a test program under
  # Wine reaches a file of the build tree as Z: and its path.
  if(CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
    set(TARNWICK_TEST_PATH_PREFIX "Z:")
  endif()
  # Test programs list their tests under the emulator when ctest runs, in
  # the test environment (its Wine prefix), not as a step of the build.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
  set(TARNWICK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the target")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${TARNWICK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

if(WIN32 AND NOT TARNWICK_HOST_SDK)
  # The host programs, pluginsdk.dll and the tests share one C++ runtime, so
  # that what one of them makes (an error category, say) is the same thing in
  # the others. The runtime DLLs go beside the programs.
  if(TARNWICK_MINGW_GCC)
    set(runtime_owner ${TARNWICK_MINGW_GCC})
  else()
    set(runtime_owner ${CMAKE_CXX_COMPILER})
  endif()
  foreach(runtime_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${runtime_owner} -print-file-name=${runtime_dll}
      OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT EXISTS "${runtime_path}")
      message(FATAL_ERROR "${runtime_dll} of the cross compiler is missing")
    endif()
    file(COPY ${runtime_path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    install(FILES ${runtime_path} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endforeach()
endif()
