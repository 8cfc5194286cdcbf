# Every project target gets the same strict warnings. The project's own test and CI builds make
# them errors (VELMORA_WERROR=ON, as test.sh does); a user's build with another compiler must not
# fail on a warning that compiler adds.
option(VELMORA_WERROR "Treat warnings as errors" OFF)
add_library(velmora_warnings INTERFACE)
target_compile_options(velmora_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough -Wswitch-enum
  $<$<BOOL:${VELMORA_WERROR}>:-Werror>)

# Third-party headers (gtest, Qt) are included as system headers and keep their own warnings.
function(velmora_target target)
  target_link_libraries(${target} PRIVATE velmora_warnings)
endfunction()
