cmake_minimum_required(VERSION 3.25)
# Holds tests/ to the tree's shape: every folder under tests/ names a
# folder of the layer table in docs/architecture.md, a host (a folder under
# host/) or one of the folders tests/CMakeLists.txt lists as standing apart,
# with its reason; every folder of the table has its test folder; and the
# list names no folder that is gone or that is a layer after all.
# Run as: cmake -DSOURCE_DIR=<tree> -DAPART=<a,b,...> [-DDOC=<file>] [-DTESTS_DIR=<folder>] -P test_folders.cmake
if(NOT TESTS_DIR)
  set(TESTS_DIR "${SOURCE_DIR}/tests")
endif()
string(REPLACE "," ";" apart "${APART}")

include("${CMAKE_CURRENT_LIST_DIR}/layer_table.cmake")
set(layers ${layer_table_folders})
list(REMOVE_ITEM layers tests)

function(subfolders parent out)
  file(GLOB entries LIST_DIRECTORIES true RELATIVE "${parent}" "${parent}/*")
  set(found "")
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${parent}/${entry}")
      list(APPEND found "${entry}")
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
subfolders("${SOURCE_DIR}/host" hosts)
subfolders("${TESTS_DIR}" folders)

set(faults "")
foreach(folder IN LISTS folders)
  if(NOT folder IN_LIST layers AND NOT folder IN_LIST hosts AND NOT folder IN_LIST apart)
    list(APPEND faults "tests/${folder}/ names no layer, no host and is not listed as standing apart")
  endif()
endforeach()
foreach(layer IN LISTS layers)
  if(NOT layer IN_LIST folders)
    list(APPEND faults "${layer}/ has no tests/${layer}/")
  endif()
endforeach()
foreach(folder IN LISTS apart)
  if(NOT folder IN_LIST folders)
    list(APPEND faults "tests/${folder}/ is listed as standing apart but does not exist")
  elseif(folder IN_LIST layers OR folder IN_LIST hosts)
    list(APPEND faults "tests/${folder}/ is listed as standing apart but names a layer or a host")
  endif()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Test folders out of step with the tree:\n  ${text}")
endif()
list(LENGTH folders count)
message(STATUS "${count} test folders: layers, hosts and the listed ones")
