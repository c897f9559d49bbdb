# The address of the operator's service built into the launcher: what it
# uses when no service.url lies beside the program, so a package (the .deb,
# the zip, the installer) reaches the operator with nothing written beside
# it. The address is checked here as the launcher checks service.url, so a
# build that could only ever be refused does not configure; the launcher
# checks it again at start.

# tarn_generated_source(<.cpp> <made from> <header> <definitions>): writes a
# source of the tarn namespace that the configuration makes, rewriting the
# file only when its text changes.
function(tarn_generated_source out from header definitions)
  file(CONFIGURE OUTPUT "${out}" CONTENT
"// Generated at configure time from @from@; do not edit.
#include \"@header@\"

namespace tarn {

@definitions@
}  // namespace tarn
" @ONLY)
endfunction()

# tarn_check_service_url(<url> <what>): a configure error, naming what,
# unless url is "http://host[:port]" or "https://host[:port]" with an
# optional closing "/", where a plain http host is this machine.
function(tarn_check_service_url url what)
  string(TOLOWER "${url}" lower)
  set(label "[a-z0-9]([a-z0-9-]*[a-z0-9])?")
  set(octet "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])")
  set(form "http(s)://host[:port], for example https://tarn.example.org or https://tarn.example.org:8443")
  if(NOT lower MATCHES "^(https?)://(\\[[0-9a-f:.]+\\]|${label}(\\.${label})*)(:([0-9]+))?/?$")
    message(FATAL_ERROR "${what}: \"${url}\" is not an address of the form ${form} (no path, user or query)")
  endif()
  set(scheme "${CMAKE_MATCH_1}")
  set(host "${CMAKE_MATCH_2}")
  set(port "${CMAKE_MATCH_7}")
  if(NOT port STREQUAL "" AND (port MATCHES "^0" OR port GREATER 65535 OR NOT port MATCHES "^[0-9]?[0-9]?[0-9]?[0-9]?[0-9]$"))
    message(FATAL_ERROR "${what}: \"${url}\": the port must be 1 to 65535")
  endif()
  string(LENGTH "${host}" length)
  if(length GREATER 253)
    message(FATAL_ERROR "${what}: \"${url}\": the host name is longer than 253 characters")
  endif()
  if(scheme STREQUAL "http" AND NOT host MATCHES "^(localhost|\\[::1\\]|127\\.${octet}\\.${octet}\\.${octet})$")
    message(FATAL_ERROR "${what}: \"${url}\": plain http is allowed only to this machine (localhost, 127.x.x.x, "
      "[::1]); the launcher refuses it for any other host. Use https://")
  endif()
endfunction()

# tarn_service_address_source(<generated .cpp> <url>): writes the source that
# defines the built-in address (empty: the loopback default).
function(tarn_service_address_source out url)
  if(NOT url STREQUAL "")
    tarn_check_service_url("${url}" TARN_SERVICE_URL)
  endif()
  tarn_generated_source("${out}" TARN_SERVICE_URL bridge/service_endpoint.h
    "const char kBuiltInServiceUrl[] = \"${url}\";\n")
endfunction()

# The functions alone, for a script that checks them (cmake -P).
if(CMAKE_SCRIPT_MODE_FILE)
  return()
endif()

set(TARN_SERVICE_URL "" CACHE STRING
  "Service address built into the launcher, http(s)://host[:port]; empty for http://127.0.0.1:8090")

if(TARN_SERVICE_URL STREQUAL "")
  message(STATUS "Service address: http://127.0.0.1:8090 (set TARN_SERVICE_URL for a real deployment)")
else()
  message(STATUS "Service address: ${TARN_SERVICE_URL}")
endif()
# Its own member of the library, like the list keys: a test program may
# define an address of its own.
set(_tarn_service_address_source "${CMAKE_BINARY_DIR}/generated/service_address.cpp")
tarn_service_address_source("${_tarn_service_address_source}" "${TARN_SERVICE_URL}")
target_sources(tarn-core-bridge PRIVATE "${_tarn_service_address_source}")
