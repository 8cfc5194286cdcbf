# Every project target gets the same strict warnings, as errors.
add_library(velmora_warnings INTERFACE)
target_compile_options(velmora_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough -Wswitch-enum)

# Third-party headers (gtest, Qt) are included as system headers and keep their own warnings.
function(velmora_target target)
  target_link_libraries(${target} PRIVATE velmora_warnings)
endfunction()
