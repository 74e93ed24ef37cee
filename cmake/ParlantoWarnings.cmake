# Warnings are errors for the project's own targets only; third-party headers
# (GoogleTest, Node-API, libpulse) are included as system headers.
function(parlanto_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Werror)
endfunction()
