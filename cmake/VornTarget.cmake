# Compile and link settings shared by every target of the project: Unicode Win32, warnings as errors, static
# runtime so the executables need nothing beyond the DLLs Windows ships.
# A callback declared without its convention (CALLBACK, WINAPI, STDMETHODCALLTYPE) is called with the wrong one
# on 32-bit Windows and corrupts the stack there only. Passed as it is, it does not compile for i686 (the
# convention is part of its type), so nothing may cast it: a cast to another function type is an error
# (-Wcast-function-type, which does not see conventions itself), and C-style casts, which would hide one, are
# errors too (-Wold-style-cast).
function(vorn_target_defaults target)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra -Werror -Wshadow -Wcast-function-type>
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  # A 32-bit program gets 2 GiB of address space unless it says it handles addresses above that; then 64-bit
  # Windows gives it 4 GiB, room for the browser control of the panel beside everything the launcher holds.
  # (64-bit programs say so anyway.)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${target} PRIVATE -Wl,--large-address-aware)
  endif()
  # Reproducible executables: the same sources and settings give the same bytes wherever they are built. No
  # build paths (__FILE__ in the runtime's assertions, say) and no link time in the PE headers.
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX,C>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=>)
  target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
endfunction()
