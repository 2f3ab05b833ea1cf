# Builds the glibc locales whose Wine programs run in code pages 932 and 936
# (Wine takes a program's code page from the Unix locale):
# cmake -DFOLDER=... -P wine_locales.cmake; then LOCPATH=FOLDER LC_ALL=ja_JP.UTF-8.
foreach(locale ja_JP zh_CN)
  set(built ${FOLDER}/${locale}.UTF-8)
  if(EXISTS ${built}/LC_CTYPE)
    continue()
  endif()
  find_program(LOCALEDEF localedef)
  if(NOT LOCALEDEF)
    message(FATAL_ERROR "localedef is missing: ./dev windows installs it (package locales)")
  endif()
  file(MAKE_DIRECTORY ${FOLDER})
  execute_process(COMMAND ${LOCALEDEF} -i ${locale} -f UTF-8 ${built} RESULT_VARIABLE failed ERROR_VARIABLE errors)
  if(NOT EXISTS ${built}/LC_CTYPE)
    message(FATAL_ERROR "localedef could not build ${locale}.UTF-8 (${failed}): ${errors}")
  endif()
endforeach()
