# The compiled-in configuration of the launcher. An operator builds a launcher for their own server by setting
# these cache variables at configure time, for example
#   cmake -DVORN_SERVER_HOST=203.0.113.7 -DVORN_UPDATE_BASE_URL=http://203.0.113.7/updates/ ...
set(VORN_WINDOW_TITLE "Vorn 岚谷登录器" CACHE STRING "Caption of the main window")
set(VORN_SERVER_HOST "127.0.0.1" CACHE STRING "Host of the directory service (port 33556)")
set(VORN_UPDATE_BASE_URL "http://127.0.0.1/updates/" CACHE STRING "Base URL of the update site, ending in /")
set(VORN_MANIFEST_NAME "up.ini" CACHE STRING "File name of the update manifest under the base URL")
set(VORN_GAME_EXE "Main.exe" CACHE STRING "Game client executable, relative to the client folder")
set(VORN_GAME_ARGS_TEMPLATE "Updater /u{host} /p{port}" CACHE STRING "Game command line; {host} and {port} are filled in")
set(VORN_WEBSITE_URL "http://127.0.0.1/" CACHE STRING "Home page opened by the link buttons, ending in /")
set(VORN_CLIENT_VERSION "2.62.81" CACHE STRING "First version field of the launch request")
set(VORN_CLIENT_SUB_VERSION "13.8" CACHE STRING "Second version field of the launch request")
set(VORN_CLIENT_SERIAL "7395104826153049" CACHE STRING "Client serial: 16 printable ASCII characters")
# Eight, as many as a download tool's parallel default: with a distant site most of a small file's time is the
# wait for its answer, so the number of answers awaited at once sets the pace of a patch of many small files.
set(VORN_DOWNLOAD_CONNECTIONS 8 CACHE STRING "Files an update downloads at once (1 to 16; 1: one after another)")
if(NOT VORN_DOWNLOAD_CONNECTIONS MATCHES "^([1-9]|1[0-6])$")
  message(FATAL_ERROR "VORN_DOWNLOAD_CONNECTIONS must be a whole number from 1 to 16")
endif()
# A server that does not announce a file's length (a script, a proxy that streams) could otherwise send without
# end until the disk is full. 4 GiB passes any file a client holds; at least the manifest's own cap of 16 MiB.
set(VORN_MAX_UNKNOWN_LENGTH 4294967296 CACHE STRING
    "Bytes a download may bring when the server does not announce its length (16777216 or more)")
string(LENGTH "${VORN_MAX_UNKNOWN_LENGTH}" max_unknown_length_digits)
if(NOT VORN_MAX_UNKNOWN_LENGTH MATCHES "^[1-9][0-9]*$" OR max_unknown_length_digits GREATER 19
   OR VORN_MAX_UNKNOWN_LENGTH LESS 16777216)
  message(FATAL_ERROR "VORN_MAX_UNKNOWN_LENGTH must be a whole number of bytes from 16777216 (16 MiB) to "
                      "9999999999999999999")
endif()
option(VORN_LAUNCH_AUTH_ENABLED "Ask the region's authorisation service before every game start" ON)
set(VORN_UPDATE_PUBLIC_KEY "" CACHE STRING
    "Public key of signed updates (tools/sign_release.py keygen); empty: updates are not signed")
string(LENGTH "${VORN_UPDATE_PUBLIC_KEY}" VORN_UPDATE_PUBLIC_KEY_LENGTH)
if(VORN_UPDATE_PUBLIC_KEY AND NOT (VORN_UPDATE_PUBLIC_KEY_LENGTH EQUAL 130 AND
                                   VORN_UPDATE_PUBLIC_KEY MATCHES "^04[0-9a-fA-F]*$"))
  message(FATAL_ERROR "VORN_UPDATE_PUBLIC_KEY must be empty or the 130 hexadecimal digits that "
                      "tools/sign_release.py prints")
endif()
# A client unpacked from a release's package has no record of the releases it installed yet, so without this it
# would take any older release a hostile site replays, genuinely signed as that was.
set(VORN_MINIMUM_RELEASE 0 CACHE STRING
    "The lowest signed release a client accepts before it has installed one (the release this launcher ships in); 0: any")
string(LENGTH "${VORN_MINIMUM_RELEASE}" VORN_MINIMUM_RELEASE_DIGITS)
if(NOT VORN_MINIMUM_RELEASE MATCHES "^(0|[1-9][0-9]*)$" OR VORN_MINIMUM_RELEASE_DIGITS GREATER 19 OR
   (VORN_MINIMUM_RELEASE_DIGITS EQUAL 19 AND VORN_MINIMUM_RELEASE STRGREATER "9223372036854775807"))
  message(FATAL_ERROR "VORN_MINIMUM_RELEASE must be a release number (0 to 9223372036854775807), as "
                      "tools/sign_release.py signs them")
endif()
set(VORN_CONNECT_BLOCK_FILE "" CACHE FILEPATH
    "The game's 178-byte connection block (Data\\Local\\Connect.msil); empty: the stand-in, for tests and the demo only")

# The launcher's own version, set by the operator for each release: the release package's name, the first line
# of the configuration record, the version on the window face and the executable's version information. Three
# numbers, each one word of that information (0 to 65535).
set(VORN_LAUNCHER_VERSION "1.0.0" CACHE STRING "The launcher's version: MAJOR.MINOR.PATCH")
if(NOT VORN_LAUNCHER_VERSION MATCHES "^(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)$")
  message(FATAL_ERROR "VORN_LAUNCHER_VERSION must be three numbers such as 1.2.0, not \"${VORN_LAUNCHER_VERSION}\"")
endif()
set(VORN_VERSION_WORDS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")
foreach(word ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
  if(word GREATER 65535)
    message(FATAL_ERROR "VORN_LAUNCHER_VERSION: each number is at most 65535, not ${word}")
  endif()
endforeach()

set(VORN_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

# Values go into C++ as UTF-16 literals; escape backslashes and quotes so any text survives.
function(vorn_wide_literal out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "L\"${value}\"" PARENT_SCOPE)
endfunction()

foreach(field WINDOW_TITLE SERVER_HOST UPDATE_BASE_URL MANIFEST_NAME GAME_EXE GAME_ARGS_TEMPLATE WEBSITE_URL
              CLIENT_VERSION CLIENT_SUB_VERSION CLIENT_SERIAL UPDATE_PUBLIC_KEY)
  vorn_wide_literal(VORN_${field}_LITERAL "${VORN_${field}}")
endforeach()
if(VORN_LAUNCH_AUTH_ENABLED)
  set(VORN_LAUNCH_AUTH_ENABLED_LITERAL true)
else()
  set(VORN_LAUNCH_AUTH_ENABLED_LITERAL false)
endif()
configure_file(${CMAKE_SOURCE_DIR}/base/config_values.h.in ${VORN_GENERATED_DIR}/config_values.h @ONLY)

# Writes `content` to `path` verbatim, leaving the file (and its time stamp) alone when it already holds it.
function(vorn_write_if_changed path content)
  file(WRITE "${path}.new" "${content}")
  configure_file("${path}.new" "${path}" COPYONLY)
  file(REMOVE "${path}.new")
endfunction()

# The connection block: exactly 178 bytes, carried as constant data (launch/connect_block.cpp includes them).
set(VORN_CONNECT_BLOCK_SIZE 178)
if(VORN_CONNECT_BLOCK_FILE)
  get_filename_component(block_file "${VORN_CONNECT_BLOCK_FILE}" ABSOLUTE)
  if(NOT EXISTS "${block_file}" OR IS_DIRECTORY "${block_file}")
    message(FATAL_ERROR "VORN_CONNECT_BLOCK_FILE: no such file: ${block_file}")
  endif()
  file(SIZE "${block_file}" block_size)
  if(NOT block_size EQUAL VORN_CONNECT_BLOCK_SIZE)
    message(FATAL_ERROR "VORN_CONNECT_BLOCK_FILE holds ${block_size} bytes; the game's connection block is exactly "
                        "${VORN_CONNECT_BLOCK_SIZE} bytes: ${block_file}")
  endif()
  file(READ "${block_file}" block_hex HEX)
  file(SHA256 "${block_file}" block_digest)
  set(VORN_CONNECT_BLOCK_STANDIN OFF)
  set(VORN_CONNECT_BLOCK_RECORD "the operator's block, ${VORN_CONNECT_BLOCK_SIZE} bytes, SHA-256 ${block_digest}")
else()
  # tools/make_connect_block.py writes the stand-in as hexadecimal text.
  set(block_file ${CMAKE_SOURCE_DIR}/launch/connect_block_standin.hex)
  file(READ "${block_file}" block_hex)
  string(REGEX REPLACE "[^0-9a-fA-F]" "" block_hex "${block_hex}")
  string(LENGTH "${block_hex}" block_digits)
  math(EXPR block_size "${block_digits} / 2")
  if(NOT block_size EQUAL VORN_CONNECT_BLOCK_SIZE)
    message(FATAL_ERROR "${block_file} holds ${block_size} bytes instead of ${VORN_CONNECT_BLOCK_SIZE}; "
                        "remake it with tools/make_connect_block.py.")
  endif()
  set(VORN_CONNECT_BLOCK_STANDIN ON)
  set(VORN_CONNECT_BLOCK_RECORD "STAND-IN (tests and the demo only; the game cannot use it)")
  message(NOTICE "Connection block: the stand-in, for tests and the demo only. A launcher for players needs "
                 "-DVORN_CONNECT_BLOCK_FILE=<the game's ${VORN_CONNECT_BLOCK_SIZE}-byte block>.")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${block_file}")
string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1," block_list "${block_hex}")
vorn_write_if_changed(${VORN_GENERATED_DIR}/connect_block_bytes.inc "${block_list}\n")
# A launcher with the stand-in leaves a connection file it finds alone (launch/connect_file.h).
if(VORN_CONNECT_BLOCK_STANDIN)
  vorn_write_if_changed(${VORN_GENERATED_DIR}/connect_block_standin.inc "true\n")
else()
  vorn_write_if_changed(${VORN_GENERATED_DIR}/connect_block_standin.inc "false\n")
endif()

# The executable's version information (resources/launcher.rc) takes the version as four words and as text.
set(VORN_VERSION_HEADER ${VORN_GENERATED_DIR}/launcher_version.h)
vorn_write_if_changed(${VORN_VERSION_HEADER}
  "#define VORN_VERSION_WORDS ${VORN_VERSION_WORDS}\n#define VORN_VERSION_TEXT \"${VORN_LAUNCHER_VERSION}.0\"\n")

# The configuration record: every compiled-in value in plain text, one "NAME = value" line each. The release
# package carries it (scripts/release.sh), so anyone can see what a downloaded launcher was built with. It holds
# no paths or times, so the same settings give the same record.
set(VORN_RECORDED_SETTINGS WINDOW_TITLE SERVER_HOST UPDATE_BASE_URL MANIFEST_NAME GAME_EXE GAME_ARGS_TEMPLATE
    WEBSITE_URL CLIENT_VERSION CLIENT_SUB_VERSION CLIENT_SERIAL DOWNLOAD_CONNECTIONS MAX_UNKNOWN_LENGTH
    LAUNCH_AUTH_ENABLED UPDATE_PUBLIC_KEY MINIMUM_RELEASE)
set(record "VornLauncher ${VORN_LAUNCHER_VERSION}: the compiled-in configuration\n\n")
foreach(field IN LISTS VORN_RECORDED_SETTINGS)
  string(APPEND record "VORN_${field} = ${VORN_${field}}\n")
endforeach()
string(APPEND record "VORN_CONNECT_BLOCK = ${VORN_CONNECT_BLOCK_RECORD}\n")
string(APPEND record "\nTarget: ${CMAKE_SYSTEM_PROCESSOR}, ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}, "
                     "${CMAKE_BUILD_TYPE}\n")
set(VORN_CONFIGURATION_RECORD ${CMAKE_BINARY_DIR}/configuration.txt)
vorn_write_if_changed(${VORN_CONFIGURATION_RECORD} "${record}")
