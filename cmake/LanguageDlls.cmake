# Language files for Windows: each text language file (MorVex_<language>.qlr, the format of
# docs/language-files.md) becomes a resource-only DLL of the same name with one STRINGTABLE.
#
#   include(${CMAKE_SOURCE_DIR}/cmake/LanguageDlls.cmake)
#   vantrel_language_dlls(OUT_VAR)
#       Builds the shipped language files (frontend/resources/lang/*.qlr) and sets OUT_VAR to
#       their targets; $<TARGET_FILE:target> is the DLL (<build>/lang/MorVex_<language>.qlr).
#   vantrel_language_dll(OUT_VAR qlr_file)
#       The same for one text file (OUT_VAR gets its target).
#   vantrel_copy_language_files(target folder qlr_file...)
#       Keeps copies of the language files in <folder> beside target's binary (made before
#       target is built, renewed when they change): the DLLs on Windows, the text files
#       themselves elsewhere.
#
# Each target is made once per build tree, however often it is asked for. The .rc is written at
# build time by this file in script mode (cmake -DQLR_IN=... -DRC_OUT=... -P LanguageDlls.cmake)
# and is UTF-8 with "#pragma code_page(65001)".

# ---------------------------------------------------------------------------------------------
# Script mode: converts one text language file into a resource script.
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
  if(NOT QLR_IN OR NOT RC_OUT)
    message(FATAL_ERROR "usage: cmake -DQLR_IN=<file.qlr> -DRC_OUT=<file.rc> -P ${CMAKE_SCRIPT_MODE_FILE}")
  endif()
  file(READ "${QLR_IN}" content)
  # A UTF-8 byte order mark at the start is accepted.
  string(ASCII 239 187 191 bom)
  string(FIND "${content}" "${bom}" at)
  if(at EQUAL 0)
    string(SUBSTRING "${content}" 3 -1 content)
  endif()
  set(ids "")
  # The text is walked line by line with string(FIND): CMake lists would split at semicolons
  # and join across brackets.
  while(NOT content STREQUAL "")
    string(FIND "${content}" "\n" nl)
    if(nl EQUAL -1)
      set(line "${content}")
      set(content "")
    else()
      string(SUBSTRING "${content}" 0 ${nl} line)
      math(EXPR next "${nl} + 1")
      string(SUBSTRING "${content}" ${next} -1 content)
    endif()
    string(REGEX REPLACE "\r$" "" line "${line}")
    # "<id><TAB><text>" with a decimal id of at most five digits; anything else is skipped,
    # as are blank lines and comments.
    string(FIND "${line}" "\t" tab)
    if(tab LESS 1 OR tab GREATER 5)
      continue()
    endif()
    string(SUBSTRING "${line}" 0 ${tab} id)
    if(NOT id MATCHES "^[0-9]+$")
      continue()
    endif()
    math(EXPR id "${id}")  # drops leading zeros
    if(id GREATER 65535)
      continue()
    endif()
    math(EXPR start "${tab} + 1")
    string(SUBSTRING "${line}" ${start} -1 text)
    # The file's escapes (\n, \t, \\) are the resource compiler's too; any other backslash is
    # a character of its own and is doubled. Quotes double.
    set(escaped "")
    string(LENGTH "${text}" length)
    set(i 0)
    while(i LESS length)
      string(SUBSTRING "${text}" ${i} 1 c)
      math(EXPR i "${i} + 1")
      if(c STREQUAL "\\")
        set(n "")
        if(i LESS length)
          string(SUBSTRING "${text}" ${i} 1 n)
        endif()
        if(n STREQUAL "n" OR n STREQUAL "t" OR n STREQUAL "\\")
          string(APPEND escaped "\\${n}")
          math(EXPR i "${i} + 1")
        else()
          string(APPEND escaped "\\\\")
        endif()
      elseif(c STREQUAL "\"")
        string(APPEND escaped "\"\"")
      else()
        string(APPEND escaped "${c}")
      endif()
    endwhile()
    # A later line with the same id wins; an empty text counts as absent.
    list(REMOVE_ITEM ids ${id})
    if(NOT text STREQUAL "")
      list(APPEND ids ${id})
      set("text_${id}" "${escaped}")
    endif()
  endwhile()
  list(SORT ids COMPARE NATURAL)
  get_filename_component(name "${QLR_IN}" NAME)
  set(rc "// Generated from ${name} by LanguageDlls.cmake; do not edit.\n")
  string(APPEND rc "#pragma code_page(65001)\n\nSTRINGTABLE\nBEGIN\n")
  foreach(id IN LISTS ids)
    string(APPEND rc "  ${id}, \"${text_${id}}\"\n")
  endforeach()
  string(APPEND rc "END\n")
  file(WRITE "${RC_OUT}.tmp" "${rc}")
  file(COPY_FILE "${RC_OUT}.tmp" "${RC_OUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${RC_OUT}.tmp")
  return()
endif()

# ---------------------------------------------------------------------------------------------
# Project mode.
set(VANTREL_LANGUAGE_DLLS_SCRIPT ${CMAKE_CURRENT_LIST_FILE} CACHE INTERNAL "")

function(vantrel_language_dll out_var qlr_file)
  get_filename_component(qlr_file "${qlr_file}" ABSOLUTE)
  get_filename_component(name "${qlr_file}" NAME_WE)
  set(target "language_${name}")
  if(NOT TARGET ${target})
    set(rc ${CMAKE_BINARY_DIR}/lang/${name}.rc)
    add_custom_command(OUTPUT ${rc}
      COMMAND ${CMAKE_COMMAND} -DQLR_IN=${qlr_file} -DRC_OUT=${rc}
              -P ${VANTREL_LANGUAGE_DLLS_SCRIPT}
      DEPENDS ${qlr_file} ${VANTREL_LANGUAGE_DLLS_SCRIPT}
      COMMENT "Generating the string table of ${name}.qlr"
      VERBATIM)
    # Only resources: no C runtime, no entry point, no imports.
    add_library(${target} MODULE ${rc})
    set_target_properties(${target} PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX ".qlr" LINKER_LANGUAGE C
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lang)
    target_link_options(${target} PRIVATE -nostdlib -Wl,--entry=0)
    set_property(TARGET ${target} PROPERTY LINK_LIBRARIES "")
  endif()
  set(${out_var} ${target} PARENT_SCOPE)
endfunction()

function(vantrel_language_dlls out_var)
  file(GLOB qlrs ${CMAKE_SOURCE_DIR}/frontend/resources/lang/*.qlr)
  set(targets "")
  foreach(qlr IN LISTS qlrs)
    vantrel_language_dll(t ${qlr})
    list(APPEND targets ${t})
  endforeach()
  set(${out_var} ${targets} PARENT_SCOPE)
endfunction()

function(vantrel_copy_language_files target folder)
  get_target_property(dir ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT dir)
    get_target_property(dir ${target} BINARY_DIR)
  endif()
  set(outputs "")
  foreach(qlr IN LISTS ARGN)
    get_filename_component(qlr "${qlr}" ABSOLUTE)
    get_filename_component(name "${qlr}" NAME)
    if(WIN32)
      vantrel_language_dll(source_target ${qlr})
      set(source $<TARGET_FILE:${source_target}>)
      set(dependency ${source_target})
    else()
      set(source ${qlr})
      set(dependency ${qlr})
    endif()
    set(copy ${dir}/${folder}/${name})
    add_custom_command(OUTPUT ${copy}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/${folder}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source} ${copy}
      DEPENDS ${dependency}
      VERBATIM)
    list(APPEND outputs ${copy})
  endforeach()
  string(MAKE_C_IDENTIFIER "${target}_${folder}_languages" copies)
  add_custom_target(${copies} DEPENDS ${outputs})
  add_dependencies(${target} ${copies})
endfunction()
