# Compile and link settings shared by every target of the project: Unicode Win32, warnings as errors, static
# runtime so the executables need nothing beyond the DLLs Windows ships.
function(vorn_target_defaults target)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra -Werror -Wshadow -Wno-cast-function-type>)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
endfunction()
