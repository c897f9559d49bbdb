# Builds the file list's verifying key into the launcher. The key file is
# read at configure time and becomes a generated source of tarn-core-client;
# editing or replacing the file re-runs the configuration.
set(TARN_LIST_KEY "${CMAKE_SOURCE_DIR}/tools/demo/keys/demo-list-public.pem" CACHE FILEPATH
  "PEM public key (RSA-2048) that signed file lists must verify against; the default is the demo key")

if(NOT EXISTS "${TARN_LIST_KEY}")
  message(FATAL_ERROR "TARN_LIST_KEY: no such file: ${TARN_LIST_KEY}")
endif()
file(READ "${TARN_LIST_KEY}" _tarn_list_key)
string(REPLACE "\r" "" _tarn_list_key "${_tarn_list_key}")
if(NOT _tarn_list_key MATCHES "^-----BEGIN PUBLIC KEY-----\n[A-Za-z0-9+/=\n]+-----END PUBLIC KEY-----\n?$")
  message(FATAL_ERROR "TARN_LIST_KEY: ${TARN_LIST_KEY} is not a single \"PUBLIC KEY\" PEM block "
    "(make one with: tarn-publish keygen, or openssl pkey -pubout)")
endif()
# The demo key is recognised by its content, so a copy of it under another
# name is still the demo key.
file(READ "${CMAKE_SOURCE_DIR}/tools/demo/keys/demo-list-public.pem" _tarn_demo_key)
string(REPLACE "\r" "" _tarn_demo_key "${_tarn_demo_key}")
string(STRIP "${_tarn_list_key}" _tarn_key_a)
string(STRIP "${_tarn_demo_key}" _tarn_key_b)
if(_tarn_key_a STREQUAL _tarn_key_b)
  set(TARN_LIST_KEY_IS_DEMO ON)
  message(STATUS "List key: the DEMO key (set TARN_LIST_KEY for a real deployment)")
else()
  set(TARN_LIST_KEY_IS_DEMO OFF)
  message(STATUS "List key: ${TARN_LIST_KEY}")
endif()

# Anyone can sign lists with the demo key: its private half is in this
# repository. Building and testing with it is harmless, but what leaves the
# build tree (an install, a package) trusts it on a player's machine, so
# that takes an explicit demo build. The check is an install rule of every
# component, registered before any other, so nothing is copied first.
option(TARN_DEMO "Allow installing and packaging a build that trusts the demo list key" OFF)
if(TARN_LIST_KEY_IS_DEMO AND NOT TARN_DEMO)
  set(_tarn_demo_refusal "message(FATAL_ERROR \"This build trusts the DEMO list key, whose private half is \
public. Configure with -DTARN_LIST_KEY=<your public key> for a real package, or with -DTARN_DEMO=ON for a \
demo package.\")")
  foreach(_tarn_component launcher tools)
    install(CODE "${_tarn_demo_refusal}" COMPONENT ${_tarn_component})
  endforeach()
elseif(TARN_DEMO AND NOT TARN_LIST_KEY_IS_DEMO)
  message(STATUS "TARN_DEMO is on but the list key is not the demo key: packages are not marked as demo")
endif()

set(_tarn_list_key_source "${CMAKE_BINARY_DIR}/generated/list_key.cpp")
file(CONFIGURE OUTPUT "${_tarn_list_key_source}" CONTENT
"// Generated from @TARN_LIST_KEY@ at configure time; do not edit.
#include \"client/list_key.h\"

namespace tarn {

const char kListPublicKeyPem[] = R\"tarnpem(@_tarn_list_key@)tarnpem\";

}  // namespace tarn
" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TARN_LIST_KEY}")
target_sources(tarn-core-client PRIVATE "${_tarn_list_key_source}")
