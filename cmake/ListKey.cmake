# Builds the file list's verifying keys into the launcher. The key files are
# read at configure time and become a generated source of tarn-core-client;
# editing or replacing a file re-runs the configuration.
#
# A launcher trusts up to two keys, so that an operator can change keys
# without stranding players: ship a launcher that trusts the old key and
# the new one, and sign with the new key once players have it.

# tarn_read_list_key(<out> <option name> <file>): the key file's text without
# carriage returns; a configure error unless it is one "PUBLIC KEY" block.
function(tarn_read_list_key out option file)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${option}: no such file: ${file}")
  endif()
  file(READ "${file}" key)
  string(REPLACE "\r" "" key "${key}")
  if(NOT key MATCHES "^-----BEGIN PUBLIC KEY-----\n[A-Za-z0-9+/=\n]+-----END PUBLIC KEY-----\n?$")
    message(FATAL_ERROR "${option}: ${file} is not a single \"PUBLIC KEY\" PEM block "
      "(make one with: tarn-publish keygen, or openssl pkey -pubout)")
  endif()
  set(${out} "${key}" PARENT_SCOPE)
endfunction()

# tarn_list_keys_source(<generated .cpp> <first key file> [<second key file>]):
# writes the source that defines the keys a program trusts. Two files that
# hold the same key are refused: the second slot would then be wasted while
# the operator believes the launcher trusts a new key.
# (tarn_generated_source is cmake/ServiceAddress.cmake's, included first.)
function(tarn_list_keys_source out first)
  tarn_read_list_key(key_1 TARN_LIST_KEY "${first}")
  set(key_2 "")
  if(ARGC GREATER 2 AND NOT "${ARGV2}" STREQUAL "")
    tarn_read_list_key(key_2 TARN_LIST_KEY_2 "${ARGV2}")
    string(STRIP "${key_1}" a)
    string(STRIP "${key_2}" b)
    if(a STREQUAL b)
      message(FATAL_ERROR "TARN_LIST_KEY_2: ${ARGV2} holds the same key as ${first}")
    endif()
  endif()
  tarn_generated_source("${out}" "the list key files" client/list_key.h
    "const char kListPublicKeyPem[] = R\"tarnpem(${key_1})tarnpem\";
const char kSecondListPublicKeyPem[] = R\"tarnpem(${key_2})tarnpem\";\n")
endfunction()

# The functions alone, for a script that checks them (cmake -P).
if(CMAKE_SCRIPT_MODE_FILE)
  return()
endif()

set(TARN_LIST_KEY "${CMAKE_SOURCE_DIR}/tools/demo/keys/demo-list-public.pem" CACHE FILEPATH
  "PEM public key (RSA-2048) that signed file lists must verify against; the default is the demo key")
set(TARN_LIST_KEY_2 "" CACHE FILEPATH
  "A second PEM public key trusted alongside TARN_LIST_KEY while the operator changes keys; empty for none")

set(_tarn_demo_key_file "${CMAKE_SOURCE_DIR}/tools/demo/keys/demo-list-public.pem")

# The demo key is recognised by its content, so a copy of it under another
# name is still the demo key, in either slot.
file(READ "${_tarn_demo_key_file}" _tarn_demo_key)
string(REPLACE "\r" "" _tarn_demo_key "${_tarn_demo_key}")
string(STRIP "${_tarn_demo_key}" _tarn_demo_key)
set(TARN_LIST_KEY_IS_DEMO OFF)
foreach(_tarn_slot TARN_LIST_KEY TARN_LIST_KEY_2)
  if("${${_tarn_slot}}" STREQUAL "")
    continue()
  endif()
  tarn_read_list_key(_tarn_key ${_tarn_slot} "${${_tarn_slot}}")
  string(STRIP "${_tarn_key}" _tarn_key)
  if(_tarn_key STREQUAL _tarn_demo_key)
    set(TARN_LIST_KEY_IS_DEMO ON)
    message(STATUS "List key (${_tarn_slot}): the DEMO key (set ${_tarn_slot} for a real deployment)")
  else()
    message(STATUS "List key (${_tarn_slot}): ${${_tarn_slot}}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${${_tarn_slot}}")
endforeach()

# Anyone can sign lists with the demo key: its private half is in this
# repository. Building and testing with it is harmless, but what leaves the
# build tree (an install, a package) trusts it on a player's machine, so
# that takes an explicit demo build. The check is an install rule of every
# component, registered before any other, so nothing is copied first.
option(TARN_DEMO "Allow installing and packaging a build that trusts the demo list key" OFF)
if(TARN_LIST_KEY_IS_DEMO AND NOT TARN_DEMO)
  set(_tarn_demo_refusal "message(FATAL_ERROR \"This build trusts the DEMO list key, whose private half is \
public. Configure TARN_LIST_KEY (and TARN_LIST_KEY_2, if set) with your own public keys for a real package, \
or with -DTARN_DEMO=ON for a demo package.\")")
  foreach(_tarn_component launcher tools)
    install(CODE "${_tarn_demo_refusal}" COMPONENT ${_tarn_component})
  endforeach()
elseif(TARN_DEMO AND NOT TARN_LIST_KEY_IS_DEMO)
  message(STATUS "TARN_DEMO is on but no list key is the demo key: packages are not marked as demo")
endif()

# Its own source, hence its own member of the library: a test program that
# defines the keys itself links the rest of the client unchanged.
set(_tarn_list_key_source "${CMAKE_BINARY_DIR}/generated/list_key.cpp")
tarn_list_keys_source("${_tarn_list_key_source}" "${TARN_LIST_KEY}" "${TARN_LIST_KEY_2}")
target_sources(tarn-core-client PRIVATE "${_tarn_list_key_source}")
