# The host SDK named by TARNWICK_HOST_SDK, as the imported target pluginsdk
# that plugin/ links in place of ours: its headers in include/, its library
# (a shared library, or on Windows its import or static library) in lib/.
file(TO_CMAKE_PATH "${TARNWICK_HOST_SDK}" tarnwick_host_sdk)
if(NOT IS_DIRECTORY ${tarnwick_host_sdk}/include)
  message(FATAL_ERROR "TARNWICK_HOST_SDK: ${tarnwick_host_sdk}/include is not a folder")
endif()
# Only there: not the target's library folders a cross build searches first.
find_library(tarnwick_host_sdk_library NAMES pluginsdk PATHS ${tarnwick_host_sdk}/lib
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH NO_CACHE)
if(NOT tarnwick_host_sdk_library)
  message(FATAL_ERROR "TARNWICK_HOST_SDK: no library pluginsdk in ${tarnwick_host_sdk}/lib")
endif()
message(STATUS "The plugin is built against ${tarnwick_host_sdk_library}")

add_library(pluginsdk UNKNOWN IMPORTED)
set_target_properties(pluginsdk PROPERTIES
  IMPORTED_LOCATION ${tarnwick_host_sdk_library}
  INTERFACE_INCLUDE_DIRECTORIES ${tarnwick_host_sdk}/include)
