# Warnings are errors everywhere. ovtm_warnings(target) applies the project's set.
function(ovtm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
endfunction()
