# Fails when a file of src/ includes a header of a higher layer:
#   platform < common < serial and database < pdl < tool engines and sim < tool ui and report < gui
#   (Qt and gui/win32) < ui/qt and ui/win32
# The simulator stands beside the tools: only itself and the programs' mains
# include it. The two tools never include each other. The programs' mains
# (*_main.cpp, also a window's main in ui/qt) sit on top and may include
# every layer.
# Run: cmake -DSOURCE_DIR=<repo>/src -P CheckLayers.cmake

set(kLayers
  "platform=0" "common=1" "serial=2" "database=2" "pdl=3" "sim=4"
  "quillport/package=4" "quillport/worker=4" "tavlo/settings=4" "tavlo/numbers=4"
  "tavlo/factory=4" "tavlo/worker=4" "tavlo/ledger=4"
  "quillport/ui=5" "tavlo/ui=5" "report=5" "gui=6" "quillport/ui/qt=7" "tavlo/ui/qt=7"
  "quillport/ui/win32=7" "tavlo/ui/win32=7")

# The layer of a folder below src/: the longest entry that is a prefix of it.
function(layer_of dir out_rank out_name)
  set(best_len -1)
  set(best_rank "")
  set(best_name "")
  foreach(entry IN LISTS kLayers)
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 0 name)
    list(GET pair 1 rank)
    string(LENGTH "${name}" len)
    if((dir STREQUAL name OR dir MATCHES "^${name}/") AND len GREATER best_len)
      set(best_len ${len})
      set(best_rank ${rank})
      set(best_name ${name})
    endif()
  endforeach()
  set(${out_rank} "${best_rank}" PARENT_SCOPE)
  set(${out_name} "${best_name}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.h" "${SOURCE_DIR}/*.cpp")
set(faults "")
foreach(file IN LISTS files)
  get_filename_component(dir "${file}" DIRECTORY)
  layer_of("${dir}" rank name)
  if(rank STREQUAL "")
    continue()  # a folder of no layer, such as a build helper
  endif()
  get_filename_component(base "${file}" NAME)
  if(base MATCHES "_main\\.cpp$")
    set(rank 99)
  endif()
  file(STRINGS "${SOURCE_DIR}/${file}" lines REGEX "^#include \"[^\"]+/[^\"]+\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
    get_filename_component(header_dir "${header}" DIRECTORY)
    layer_of("${header_dir}" header_rank header_name)
    if(header_rank STREQUAL "")
      continue()
    endif()
    set(why "")
    if(header_rank GREATER rank)
      set(why "layer ${header_name} is above ${name}")
    elseif(header_name STREQUAL "sim" AND NOT name STREQUAL "sim" AND NOT rank EQUAL 99)
      set(why "only the simulator itself and the mains use the simulator")
    elseif((name MATCHES "^quillport" AND header_name MATCHES "^tavlo")
           OR (name MATCHES "^tavlo" AND header_name MATCHES "^quillport"))
      set(why "one tool never includes the other")
    endif()
    if(why)
      list(APPEND faults "src/${file}: #include \"${header}\": ${why}")
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n" text)
  message(FATAL_ERROR "Includes against the layering:\n${text}")
endif()
list(LENGTH files count)
message(STATUS "layering: ${count} files, every include goes down or sideways")
