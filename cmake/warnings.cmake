# Every first-party target gets the same warning set; the build must stay
# warning-free, so CI turns warnings into errors with MORVANE_WERROR.
option(MORVANE_WERROR "Treat warnings as errors" OFF)

add_library(morvane_warnings INTERFACE)
target_compile_options(morvane_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                                                  -Wnon-virtual-dtor -Wconversion-null)
if(MORVANE_WERROR)
  target_compile_options(morvane_warnings INTERFACE -Werror)
endif()

# A component library: one static library per directory under src/, with its
# dependencies named explicitly so an upward include fails to build.
function(morvane_component name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} PRIVATE morvane_warnings)
endfunction()
