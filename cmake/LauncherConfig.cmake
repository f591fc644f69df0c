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
set(VORN_DOWNLOAD_CONNECTIONS 6 CACHE STRING "Files an update downloads at once (1 to 16; 1: one after another)")
if(NOT VORN_DOWNLOAD_CONNECTIONS MATCHES "^([1-9]|1[0-6])$")
  message(FATAL_ERROR "VORN_DOWNLOAD_CONNECTIONS must be a whole number from 1 to 16")
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
