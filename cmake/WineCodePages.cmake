# Runs tests of a test program once more in code pages 932 and 936, where the
# second byte of a character may be 0x5C, a backslash's byte. Under Wine a
# program's code page comes from the Unix locale; the glibc locales are built
# into the build folder by the WineLocales test (localedef, package locales).
#   tarnwick_add_code_page_runs(TARGET GTEST_FILTER)
# A test that skips there fails the run: it did not run in its code page.
include_guard(GLOBAL)

function(tarnwick_add_code_page_runs target filter)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
    return()
  endif()
  set(locales ${CMAKE_BINARY_DIR}/wine-locales)
  get_property(locales_made GLOBAL PROPERTY TARNWICK_WINE_LOCALES_TEST)
  if(NOT locales_made)
    add_test(NAME WineLocales COMMAND ${CMAKE_COMMAND} -DFOLDER=${locales}
      -P ${PROJECT_SOURCE_DIR}/cmake/wine_locales.cmake)
    set_tests_properties(WineLocales PROPERTIES FIXTURES_SETUP wine_locales)
    set_property(GLOBAL PROPERTY TARNWICK_WINE_LOCALES_TEST TRUE)
  endif()
  foreach(code_page 932 936)
    if(code_page EQUAL 932)
      set(locale ja_JP.UTF-8)
    else()
      set(locale zh_CN.UTF-8)
    endif()
    add_test(NAME ${target}.CodePage${code_page} COMMAND ${target} --gtest_filter=${filter})
    set_tests_properties(${target}.CodePage${code_page} PROPERTIES
      ENVIRONMENT "LC_ALL=${locale};LOCPATH=${locales}"
      FIXTURES_REQUIRED wine_locales
      FAIL_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
      TIMEOUT 300)
  endforeach()
endfunction()
