# The announcement page and its style sheet are kept as readable UTF-8 in resources/; the executable carries
# them in GB2312, the encoding the page declares. They are encoded with code page 936, Windows' reading of
# GB2312 (the middle dot that starts every line is U+00B7 there), and then checked to stay within GB2312, so
# a character outside it fails the build.
find_program(VORN_ICONV iconv REQUIRED)
set(VORN_PAGE_DIR ${VORN_GENERATED_DIR}/announcement)
set(VORN_PAGE_FILES)
foreach(page gg.htm gg.css)
  set(output ${VORN_PAGE_DIR}/${page})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VORN_PAGE_DIR}
    COMMAND ${VORN_ICONV} -f UTF-8 -t CP936 -o ${output}.tmp ${CMAKE_SOURCE_DIR}/resources/${page}
    COMMAND ${VORN_ICONV} -f GB2312 -t UTF-8 -o ${output}.check ${output}.tmp
    COMMAND ${CMAKE_COMMAND} -E remove ${output}.check
    COMMAND ${CMAKE_COMMAND} -E rename ${output}.tmp ${output}
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/${page}
    COMMENT "Encoding ${page} in GB2312"
    VERBATIM)
  list(APPEND VORN_PAGE_FILES ${output})
endforeach()
add_custom_target(vorn_announcement_page DEPENDS ${VORN_PAGE_FILES})
add_dependencies(VornLauncher vorn_announcement_page)
set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/announcement.rc APPEND PROPERTY OBJECT_DEPENDS ${VORN_PAGE_FILES})
set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/announcement.rc APPEND PROPERTY INCLUDE_DIRECTORIES
             ${VORN_GENERATED_DIR})
