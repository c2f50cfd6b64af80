# Warnings are errors everywhere in the project's own code.
function(tv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Declares one of the project's libraries: sources, include root, warnings.
function(tv_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${TV_SOURCE_ROOT})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  tv_warnings(${name})
endfunction()
