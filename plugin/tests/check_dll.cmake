# Reads Tarnwick.dll's headers with objdump and checks what the game's host
# relies on: cmake -DOBJDUMP=... -DDLL=... -P check_dll.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump cannot read ${DLL}")
endif()

set(problems "")
if(NOT headers MATCHES "\nName[ \t]+[0-9a-f]+ Tarnwick\\.dll\n")
  string(APPEND problems "the export directory does not name Tarnwick.dll\n")
endif()

# The entry points and the record under plain names, and every public member
# of the plugin base class.
foreach(export
    getPlugin deleteMe exports
    _ZN9BakkesMod6Plugin15BakkesModPluginC1Ev
    _ZN9BakkesMod6Plugin15BakkesModPluginC1ERKS1_
    _ZN9BakkesMod6Plugin15BakkesModPluginC1EOS1_
    _ZN9BakkesMod6Plugin15BakkesModPluginD1Ev
    _ZN9BakkesMod6Plugin15BakkesModPluginaSERKS1_
    _ZN9BakkesMod6Plugin15BakkesModPluginaSEOS1_
    _ZN9BakkesMod6Plugin15BakkesModPlugin6onLoadEv
    _ZN9BakkesMod6Plugin15BakkesModPlugin8onUnloadEv)
  if(NOT headers MATCHES "\\] ${export}\n")
    string(APPEND problems "${export} is not exported\n")
  endif()
endforeach()

# Nothing beside it but system DLLs and the SDK: no MinGW runtime.
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(kernel32|msvcrt|user32|advapi32|pluginsdk)\\.dll$")
    string(APPEND problems "imports ${dll}, which a game's host does not provide\n")
  endif()
endforeach()

if(problems)
  message(FATAL_ERROR "${DLL}:\n${problems}")
endif()
message(STATUS "${DLL}: name, exports and imports as the host expects")
