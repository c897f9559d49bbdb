# Reads the table of allowed arrows in docs/architecture.md, the one the
# include check and the test folders' check both hold the tree to, so the
# document stays their single source.
# In: SOURCE_DIR (the tree) and DOC (the document, by default the tree's
# docs/architecture.md). Out: layer_table_folders (the table's folders, in
# its order) and allow_<folder> (what each may include: "a/" for a whole
# folder, "a/b.h" for one file).
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()
if(NOT DOC)
  set(DOC "${SOURCE_DIR}/docs/architecture.md")
endif()

file(READ "${DOC}" doc)
string(FIND "${doc}" "<!-- include-rules: begin -->" begin)
string(FIND "${doc}" "<!-- include-rules: end -->" end)
if(begin LESS 0 OR end LESS begin)
  message(FATAL_ERROR "${DOC}: no include-rules table")
endif()
math(EXPR length "${end} - ${begin}")
string(SUBSTRING "${doc}" ${begin} ${length} table)
string(REPLACE "\n" ";" rows "${table}")

set(layer_table_folders "")
foreach(row IN LISTS rows)
  # | `from/` | `a/`, `b.h` | why |
  if(NOT row MATCHES "^\\| `([a-z]+)/` \\|([^|]*)\\|")
    continue()
  endif()
  set(from "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "`[^`]+`" allowed "${CMAKE_MATCH_2}")
  string(REPLACE "`" "" allowed "${allowed}")
  list(APPEND layer_table_folders ${from})
  set(allow_${from} ${allowed})
endforeach()
if(NOT layer_table_folders)
  message(FATAL_ERROR "${DOC}: the include-rules table has no rows")
endif()
