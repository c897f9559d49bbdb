# Builds the file list's verifying key into the launcher. The key file is
# read at configure time and becomes a generated source of tarn-core;
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
if(TARN_LIST_KEY STREQUAL "${CMAKE_SOURCE_DIR}/tools/demo/keys/demo-list-public.pem")
  message(STATUS "List key: the DEMO key (set TARN_LIST_KEY for a real deployment)")
else()
  message(STATUS "List key: ${TARN_LIST_KEY}")
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
target_sources(tarn-core PRIVATE "${_tarn_list_key_source}")
