# The configure-time checks of what an operator builds into the launcher,
# run as cmake -P: each case runs the check in a cmake of its own, since a
# refusal ends the configuration. Arguments: -DSOURCE=<repository>
# -DWORK=<scratch folder> -DGENERATOR=<CMake generator>; CASE is set only
# for the inner runs.
if(DEFINED CASE)
  include("${SOURCE}/cmake/ServiceAddress.cmake")
  include("${SOURCE}/cmake/ListKey.cmake")
  if(CASE STREQUAL "url")
    tarn_service_address_source("${WORK}/address.cpp" "${URL}")
  else()
    tarn_list_keys_source("${WORK}/keys.cpp" "${FIRST}" "${SECOND}")
  endif()
  return()
endif()

set(failures "")
# expect(<refused: TRUE/FALSE> <message part or ""> <-D arguments...>)
function(expect refused part)
  execute_process(COMMAND "${CMAKE_COMMAND}" -DSOURCE=${SOURCE} -DWORK=${WORK} ${ARGN} -P "${CMAKE_CURRENT_LIST_FILE}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # cmake wraps its messages; the words matter, not where lines break.
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  if(refused AND rc EQUAL 0)
    set(failures "${failures}\n  accepted, should be refused: ${ARGN}" PARENT_SCOPE)
  elseif(NOT refused AND NOT rc EQUAL 0)
    set(failures "${failures}\n  refused, should be accepted: ${ARGN}: ${err}" PARENT_SCOPE)
  elseif(refused AND NOT err MATCHES "${part}")
    set(failures "${failures}\n  refused without \"${part}\": ${ARGN}: ${err}" PARENT_SCOPE)
  endif()
endfunction()

file(MAKE_DIRECTORY "${WORK}")
foreach(url "https://tarn.example.org" "HTTPS://Tarn.Example.ORG:8443/" "http://127.0.0.1:8090" "http://localhost"
            "http://[::1]:9" "https://[2001:db8::1]:443" "http://127.255.0.9:65535" "https://10.0.0.5")
  expect(FALSE "" -DCASE=url "-DURL=${url}")
endforeach()
file(READ "${WORK}/address.cpp" generated)
if(NOT generated MATCHES "kBuiltInServiceUrl\\[\\] = \"https://10.0.0.5\";")
  set(failures "${failures}\n  the generated address source: ${generated}")
endif()
foreach(url "http://tarn.example.org" "http://10.0.0.5:8090" "http://127.1" "http://127.0.0.01" "http://0.0.0.0"
            "http://localhost.evil.org" "http://[::ffff:127.0.0.1]")
  expect(TRUE "only to this machine" -DCASE=url "-DURL=${url}")
endforeach()
foreach(url "tarn.example.org" "ftp://tarn.example.org" "https://" "https://user@host" "https://host/path"
            "https://host?x=1" "https://host//" "https://-host.org" "https://host-.org" "https://host..org"
            "https://[::1" "https://host:")
  expect(TRUE "is not an address" -DCASE=url "-DURL=${url}")
endforeach()
foreach(url "https://host:0" "https://host:65536" "https://host:123456" "https://host:08443")
  expect(TRUE "port must be" -DCASE=url "-DURL=${url}")
endforeach()

set(demo "${SOURCE}/tools/demo/keys/demo-list-public.pem")
set(other "${SOURCE}/tests/client/keys/new-list-public.pem")
expect(FALSE "" -DCASE=keys "-DFIRST=${demo}" "-DSECOND=")
expect(FALSE "" -DCASE=keys "-DFIRST=${other}" "-DSECOND=${demo}")
file(READ "${WORK}/keys.cpp" generated)
file(READ "${other}" first)
file(READ "${demo}" second)
string(FIND "${generated}" "kListPublicKeyPem[] = R\"tarnpem(${first})tarnpem\"" at_first)
string(FIND "${generated}" "kSecondListPublicKeyPem[] = R\"tarnpem(${second})tarnpem\"" at_second)
if(at_first LESS 0 OR at_second LESS 0)
  set(failures "${failures}\n  the generated keys source: ${generated}")
endif()
# The same key twice, however spelled, wastes the slot the new key needs.
file(WRITE "${WORK}/demo-copy.pem" "${second}\r\n")
string(REPLACE "\n" "\r\n" crlf "${second}")
file(WRITE "${WORK}/demo-crlf.pem" "${crlf}")
expect(TRUE "same key" -DCASE=keys "-DFIRST=${WORK}/demo-crlf.pem" "-DSECOND=${demo}")
expect(TRUE "TARN_LIST_KEY_2: .*is not a single" -DCASE=keys "-DFIRST=${demo}" "-DSECOND=${SOURCE}/tests/client/keys/new-list-private.pem")
expect(TRUE "TARN_LIST_KEY_2: no such file" -DCASE=keys "-DFIRST=${demo}" "-DSECOND=${WORK}/none.pem")
expect(TRUE "TARN_LIST_KEY_2: no such file" -DCASE=keys "-DFIRST=${demo}" "-DSECOND=${WORK}")

# The demo key in the second slot beside an operator's own key still makes
# a demo build: the whole project configured so, its install refused before
# a file is copied.
set(tree "${WORK}/demo-second")
file(REMOVE_RECURSE "${tree}" "${WORK}/demo-install")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${tree}" -G "${GENERATOR}" -DBUILD_TESTING=OFF
    -DTARN_DEMO=OFF "-DTARN_LIST_KEY=${other}" "-DTARN_LIST_KEY_2=${demo}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  set(failures "${failures}\n  the project does not configure with two keys: ${err}")
else()
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${tree}" --prefix "${WORK}/demo-install"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  if(rc EQUAL 0 OR NOT err MATCHES "DEMO list key" OR EXISTS "${WORK}/demo-install")
    set(failures "${failures}\n  a build with the demo key second installs without TARN_DEMO: ${rc} ${err}")
  endif()
endif()
file(REMOVE_RECURSE "${tree}")

if(failures)
  message(FATAL_ERROR "configure checks:${failures}")
endif()
