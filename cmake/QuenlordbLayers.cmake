# The layers of the code base: one static library per layer, each linking only the layers it names,
# and a build step that fails when a file includes a header of a layer it does not build on.
#
#   quenlordb_layer(<name> [DIRS <dir>...] [FILES <glob>...] [DEPS <layer>...]
#                   [PUBLIC_LIBS <lib>...] [PRIVATE_LIBS <lib>...] [NO_LIBRARY])
#
# A layer holds the .cc and .h files of its DIRS (recursively) and those matching its FILES globs
# (not recursively), paths relative to the source root, minus every file an earlier layer already
# holds. So a layer declared later over a wider directory gets what the earlier ones left. Layers are
# declared after the layers they build on: DEPS may name only layers declared before. A layer builds
# on its DEPS and on what they build on; the include check allows exactly those.
# The library quenlordb_<name> is created only when the layer has .cc files (a missing or empty
# directory is fine); a layer without one still counts in the DEPS of others, which then reach
# through it to its own DEPS. NO_LIBRARY registers the files for the include check only (the
# binding, whose library python/CMakeLists.txt builds, links with quenlordb_layer_link).
#
# After the last layer, quenlordb_layers_done() refuses source files no layer holds and adds the
# include check (cmake/check_layers.cmake) that every layer library waits for.

set_property(GLOBAL PROPERTY QUENLORDB_LAYERS "")
set_property(GLOBAL PROPERTY QUENLORDB_LAYER_FILES "")

# The layers that name is allowed to include: itself and everything below it through DEPS.
function(_quenlordb_closure out name)
  set(_result ${name})
  get_property(_deps GLOBAL PROPERTY QUENLORDB_LAYER_${name}_DEPS)
  foreach(_dep IN LISTS _deps)
    get_property(_sub GLOBAL PROPERTY QUENLORDB_LAYER_${_dep}_CLOSURE)
    list(APPEND _result ${_sub})
  endforeach()
  list(REMOVE_DUPLICATES _result)
  set(${out} ${_result} PARENT_SCOPE)
endfunction()

# The libraries that stand for the given layers: a layer without a library is replaced by its DEPS.
function(_quenlordb_layer_targets out)
  set(_targets "")
  foreach(_layer IN LISTS ARGN)
    if(TARGET quenlordb_${_layer})
      get_property(_is_layer TARGET quenlordb_${_layer} PROPERTY QUENLORDB_IS_LAYER)
    else()
      set(_is_layer FALSE)
    endif()
    if(_is_layer)
      list(APPEND _targets quenlordb_${_layer})
    else()
      get_property(_deps GLOBAL PROPERTY QUENLORDB_LAYER_${_layer}_DEPS)
      _quenlordb_layer_targets(_sub ${_deps})
      list(APPEND _targets ${_sub})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES _targets)
  set(${out} ${_targets} PARENT_SCOPE)
endfunction()

function(quenlordb_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 L "NO_LIBRARY" "" "DIRS;FILES;DEPS;PUBLIC_LIBS;PRIVATE_LIBS")
  get_property(_layers GLOBAL PROPERTY QUENLORDB_LAYERS)
  if(name IN_LIST _layers)
    message(FATAL_ERROR "layer ${name} is declared twice")
  endif()
  foreach(_dep IN LISTS L_DEPS)
    if(NOT _dep IN_LIST _layers)
      message(FATAL_ERROR "layer ${name} depends on ${_dep}, which is not a layer declared before it")
    endif()
  endforeach()

  set(_found "")
  foreach(_dir IN LISTS L_DIRS)
    file(GLOB_RECURSE _in CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${_dir}/*.cc ${CMAKE_SOURCE_DIR}/${_dir}/*.h)
    list(APPEND _found ${_in})
  endforeach()
  foreach(_glob IN LISTS L_FILES)
    file(GLOB _in CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${_glob})
    list(APPEND _found ${_in})
  endforeach()
  get_property(_taken GLOBAL PROPERTY QUENLORDB_LAYER_FILES)
  set(_files "")
  foreach(_file IN LISTS _found)
    if(NOT _file IN_LIST _taken)
      list(APPEND _files ${_file})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES _files)
  list(SORT _files)

  set_property(GLOBAL APPEND PROPERTY QUENLORDB_LAYERS ${name})
  set_property(GLOBAL APPEND PROPERTY QUENLORDB_LAYER_FILES ${_files})
  set_property(GLOBAL PROPERTY QUENLORDB_LAYER_${name}_FILES ${_files})
  set_property(GLOBAL PROPERTY QUENLORDB_LAYER_${name}_DIRS ${L_DIRS})
  set_property(GLOBAL PROPERTY QUENLORDB_LAYER_${name}_DEPS ${L_DEPS})
  set_property(GLOBAL PROPERTY QUENLORDB_LAYER_${name}_PRIVATE_LIBS ${L_PRIVATE_LIBS})
  _quenlordb_closure(_closure ${name})
  set_property(GLOBAL PROPERTY QUENLORDB_LAYER_${name}_CLOSURE ${_closure})

  set(_sources ${_files})
  list(FILTER _sources INCLUDE REGEX "\\.cc$")
  if(L_NO_LIBRARY OR NOT _sources)
    return()
  endif()
  add_library(quenlordb_${name} STATIC ${_files})
  set_target_properties(quenlordb_${name} PROPERTIES QUENLORDB_IS_LAYER TRUE)
  target_include_directories(quenlordb_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  _quenlordb_layer_targets(_below ${L_DEPS})
  target_link_libraries(quenlordb_${name} PUBLIC ${_below} ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
endfunction()

# Links target with the libraries of layer (or of what it builds on, when it has none) and with the
# layer's private libraries, which a test of the layer may use too.
function(quenlordb_layer_link target layer)
  _quenlordb_layer_targets(_targets ${layer})
  get_property(_private GLOBAL PROPERTY QUENLORDB_LAYER_${layer}_PRIVATE_LIBS)
  target_link_libraries(${target} PUBLIC ${_targets} ${_private})
  add_dependencies(${target} quenlordb_layer_check)
endfunction()

# The layer that holds source directory rel (e.g. "sql/parser" for src/sql/parser): the layer
# naming it, or its nearest parent, in DIRS; empty when none does.
function(quenlordb_layer_of_dir out rel)
  set(_want src/${rel})
  get_property(_layers GLOBAL PROPERTY QUENLORDB_LAYERS)
  while(TRUE)
    foreach(_layer IN LISTS _layers)
      get_property(_dirs GLOBAL PROPERTY QUENLORDB_LAYER_${_layer}_DIRS)
      if(_want IN_LIST _dirs)
        set(${out} ${_layer} PARENT_SCOPE)
        return()
      endif()
    endforeach()
    if(_want STREQUAL "src")
      break()
    endif()
    get_filename_component(_want ${_want} DIRECTORY)
  endwhile()
  set(${out} "" PARENT_SCOPE)
endfunction()

# True when layer builds on (or is) below.
function(quenlordb_layer_uses out layer below)
  get_property(_closure GLOBAL PROPERTY QUENLORDB_LAYER_${layer}_CLOSURE)
  if(below IN_LIST _closure)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(quenlordb_layers_done)
  get_property(_taken GLOBAL PROPERTY QUENLORDB_LAYER_FILES)
  file(GLOB_RECURSE _all CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*.cc ${CMAKE_SOURCE_DIR}/src/*.h)
  foreach(_file IN LISTS _all)
    if(NOT _file IN_LIST _taken)
      file(RELATIVE_PATH _rel ${CMAKE_SOURCE_DIR} ${_file})
      message(FATAL_ERROR "${_rel} belongs to no layer: add its directory to a quenlordb_layer() "
                          "in the top CMakeLists.txt")
    endif()
  endforeach()

  # The table the include check reads: one line per layer with the layers it may include, one line
  # per file with its layer.
  get_property(_layers GLOBAL PROPERTY QUENLORDB_LAYERS)
  set(_table "")
  foreach(_layer IN LISTS _layers)
    get_property(_closure GLOBAL PROPERTY QUENLORDB_LAYER_${_layer}_CLOSURE)
    list(JOIN _closure "," _closure)
    string(APPEND _table "layer ${_layer} ${_closure}\n")
  endforeach()
  foreach(_layer IN LISTS _layers)
    get_property(_files GLOBAL PROPERTY QUENLORDB_LAYER_${_layer}_FILES)
    foreach(_file IN LISTS _files)
      file(RELATIVE_PATH _rel ${CMAKE_SOURCE_DIR} ${_file})
      string(APPEND _table "file ${_layer} ${_rel}\n")
    endforeach()
  endforeach()
  set(_table_file ${CMAKE_BINARY_DIR}/layers.txt)
  file(CONFIGURE OUTPUT ${_table_file} CONTENT "${_table}")

  set(_stamp ${CMAKE_BINARY_DIR}/layers.checked)
  add_custom_command(
    OUTPUT ${_stamp}
    COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_SOURCE_DIR} -DTABLE=${_table_file} -DSTAMP=${_stamp}
            -P ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake
    DEPENDS ${_taken} ${_table_file} ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake
    COMMENT "Checking that each layer includes only the layers below it"
    VERBATIM)
  add_custom_target(quenlordb_layer_check DEPENDS ${_stamp})
  foreach(_layer IN LISTS _layers)
    if(TARGET quenlordb_${_layer})
      add_dependencies(quenlordb_${_layer} quenlordb_layer_check)
    endif()
  endforeach()
endfunction()
