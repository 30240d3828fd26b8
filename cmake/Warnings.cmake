# Our own code builds warning-free; third-party headers come in as system headers.
function(dovadod_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                           -Wformat=2 -Wno-format-nonliteral)
endfunction()
