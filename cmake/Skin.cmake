# The window face is drawn at build time from tools/make_skin.py and the window's layout (ui/layout.h), so a
# control that moves takes its plate along at the next build; the face shows the launcher's version, so a new
# version (a changed command) draws it again.
find_program(VORN_PYTHON3_FOR_SKIN python3 REQUIRED)
find_program(VORN_CONVERT convert REQUIRED)
set(VORN_SKIN ${VORN_GENERATED_DIR}/skin.png)
add_custom_command(OUTPUT ${VORN_SKIN}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VORN_GENERATED_DIR}
  COMMAND ${VORN_PYTHON3_FOR_SKIN} ${CMAKE_SOURCE_DIR}/tools/make_skin.py ${VORN_SKIN}.tmp.png
          ${CMAKE_SOURCE_DIR}/ui/layout.h ${VORN_LAUNCHER_VERSION}
  COMMAND ${CMAKE_COMMAND} -E rename ${VORN_SKIN}.tmp.png ${VORN_SKIN}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/make_skin.py ${CMAKE_SOURCE_DIR}/ui/layout.h
  COMMENT "Drawing the window face"
  VERBATIM)
add_custom_target(vorn_skin DEPENDS ${VORN_SKIN})
add_dependencies(VornLauncher vorn_skin)
set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/skin.rc APPEND PROPERTY OBJECT_DEPENDS ${VORN_SKIN})
set_property(SOURCE ${CMAKE_SOURCE_DIR}/resources/skin.rc APPEND PROPERTY INCLUDE_DIRECTORIES ${VORN_GENERATED_DIR})
