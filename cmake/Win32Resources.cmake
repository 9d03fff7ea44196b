# What the Windows build adds to a program: its version resource and the
# English texts of its Win32 window.

# Gives `target` a VERSIONINFO resource (built by windres) whose
# ProductVersion and FileVersion are the project's VERSION, the same text as
# kProductVersion, so the window title read from the resource and --version agree.
function(norq_add_version_resource target description)
  set(NORQ_RC_NAME ${target})
  set(NORQ_RC_DESCRIPTION ${description})
  # Four numbers for the binary fields: 1.0.1 -> 1,0,1,0.
  set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} 0)
  list(TRANSFORM parts REPLACE "^$" "0")
  list(JOIN parts "," NORQ_RC_VERSION_COMMAS)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  target_link_libraries(${target} PRIVATE version)
endfunction()

# The English texts of a Win32 window, from the same .ts file the Qt window
# uses: a generated header `out_header` (relative to the binary folder's
# generated/ include root) defining
#   inline constexpr gui::win32::STextPair <array_name>[] = {{source, english}, ...};
# so the two windows can never translate a text differently.
function(norq_add_win32_texts target ts_file out_header array_name)
  file(READ ${ts_file} ts)
  # A ";" would split the matches, which are a CMake list.
  string(REPLACE ";" "__SEMICOLON__" ts "${ts}")
  string(REGEX MATCHALL "<source>[^<]*</source>[ \t\r\n]*<translation[^>]*>[^<]*</translation>" pairs "${ts}")
  set(body "")
  foreach(pair IN LISTS pairs)
    string(REGEX REPLACE "<source>([^<]*)</source>.*" "\\1" src "${pair}")
    string(REGEX REPLACE ".*<translation[^>]*>([^<]*)</translation>" "\\1" dst "${pair}")
    foreach(var src dst)
      string(REPLACE "&lt__SEMICOLON__" "<" ${var} "${${var}}")
      string(REPLACE "&gt__SEMICOLON__" ">" ${var} "${${var}}")
      string(REPLACE "&quot__SEMICOLON__" "\"" ${var} "${${var}}")
      string(REPLACE "&apos__SEMICOLON__" "'" ${var} "${${var}}")
      string(REPLACE "&amp__SEMICOLON__" "&" ${var} "${${var}}")
      string(REPLACE "\\" "\\\\" ${var} "${${var}}")
      string(REPLACE "\"" "\\\"" ${var} "${${var}}")
    endforeach()
    string(APPEND body "    {\"${src}\", \"${dst}\"},\n")
  endforeach()
  string(REPLACE "__SEMICOLON__" ";" body "${body}")
  set(out ${CMAKE_BINARY_DIR}/generated/${out_header})
  file(CONFIGURE OUTPUT ${out} CONTENT
    "// Generated from ${ts_file} by norq_add_win32_texts; edit the .ts file.\n#pragma once\n\n#include \"gui/win32/text_table.h\"\n\ninline constexpr gui::win32::STextPair ${array_name}[] = {\n${body}};\n" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ts_file})
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated)
endfunction()
