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
# dependencies named explicitly. Each library exports an include root that
# holds only its own directory (a link to src/<component>), and sees the roots
# of the libraries it depends on, so "exec/planner.hpp" does not resolve from
# sim or circuit code: an upward include fails to build instead of compiling
# quietly because the header happened to need no linking.
function(morvane_component name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  get_filename_component(component ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${component} SYMBOLIC)
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${root})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} PRIVATE morvane_warnings)
endfunction()
