# Where the Windows facilities the components call come from, decided here
# and nowhere else. On Linux: the stand-ins of src/vss/platform. On Windows:
# src/vss/platform/windows, headers of the same names over the Windows SDK.
# Both add src/vss/platform/common, helpers of our own written on the Windows
# API. Sets KORVEL_PLATFORM_DIR (the folder, with its CMakeLists.txt that
# makes the target KorvelPlatform) and defines KorvelPlatformHeaders, which
# gives its users the folder's headers: the outside libraries need only
# export.h from it. Our helpers hold handles in KHandle (src/vss/include).
get_filename_component(KORVEL_PLATFORM_ROOT ${CMAKE_CURRENT_LIST_DIR}/../src/vss/platform ABSOLUTE)
get_filename_component(KORVEL_SHARED_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/vss/include ABSOLUTE)
set(KORVEL_PLATFORM_COMMON_DIR ${KORVEL_PLATFORM_ROOT}/common)
add_library(KorvelPlatformHeaders INTERFACE)
target_include_directories(KorvelPlatformHeaders INTERFACE $<BUILD_INTERFACE:${KORVEL_SHARED_INCLUDE_DIR}>)
if(WIN32)
  set(KORVEL_PLATFORM_DIR ${KORVEL_PLATFORM_ROOT}/windows)
  # Searched for quoted includes only: our "vss.h", "storage.h" or "errors.h"
  # include the SDK's <vss.h>, <storage.h> or <errors.h>, which must stay
  # reachable under their own names for the SDK's headers too.
  target_compile_options(KorvelPlatformHeaders INTERFACE
    "SHELL:-iquote ${KORVEL_PLATFORM_DIR}" "SHELL:-iquote ${KORVEL_PLATFORM_COMMON_DIR}")
else()
  set(KORVEL_PLATFORM_DIR ${KORVEL_PLATFORM_ROOT})
  target_include_directories(KorvelPlatformHeaders INTERFACE $<BUILD_INTERFACE:${KORVEL_PLATFORM_DIR}>
                                                            $<BUILD_INTERFACE:${KORVEL_PLATFORM_COMMON_DIR}>)
endif()
