# Maps drive D: of the Wine prefix to a fresh, empty folder, as `subst D:`
# would on Windows: cmake -DFOLDER=... -P wine_drive.cmake
if(NOT DEFINED ENV{WINEPREFIX})
  message(FATAL_ERROR "WINEPREFIX is not set: run the tests through ctest --preset windows")
endif()
set(drive "$ENV{WINEPREFIX}/dosdevices/d:")
file(REMOVE_RECURSE ${FOLDER})
file(MAKE_DIRECTORY ${FOLDER})
file(REMOVE ${drive})
file(CREATE_LINK ${FOLDER} ${drive} SYMBOLIC)
