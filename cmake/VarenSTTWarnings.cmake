# Project code builds with warnings as errors; third-party headers come in as system headers.
function(varenstt_strict_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
