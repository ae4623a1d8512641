# Writes the root scripts into a C++ header as raw string literals:
#   cmake -DSCRIPT_DIR=<this folder> -DOUTPUT=<header> -P embed.cmake
# A line "#@include NAME" is replaced by that file of this folder (expanded
# the same way), lines starting with "##" are notes for this source only, and
# every @NAME@ of values.cmake is replaced by its value. Anything the header
# could not carry unchanged stops the build.

include(${SCRIPT_DIR}/values.cmake)

set(delimiter "ZSH_SCRIPT")
# Clang's limit for one literal in C++ (-Woverlength-strings, part of -Wpedantic).
set(literal_limit 65535)

function(expand_script name out)
  file(READ "${SCRIPT_DIR}/${name}" text)
  string(REGEX REPLACE "\n[ ]*##[^\n]*" "" text "\n${text}")
  string(SUBSTRING "${text}" 1 -1 text)
  string(REGEX MATCHALL "\n#@include [A-Za-z_.]+\n" directives "${text}")
  foreach(directive IN LISTS directives)
    string(STRIP "${directive}" line)
    string(REPLACE "#@include " "" included "${line}")
    expand_script("${included}" included_text)
    string(REPLACE "${directive}" "\n${included_text}" text "${text}")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(substitute_values text_var)
  set(text "${${text_var}}")
  foreach(name IN LISTS TESSELWICK_SCRIPT_VALUES)
    string(REPLACE "@${name}@" "${TESSELWICK_${name}}" text "${text}")
  endforeach()
  string(REGEX MATCH "@[A-Z_]+@" unknown "${text}")
  if(unknown)
    message(FATAL_ERROR "embed.cmake: ${unknown} is not a value of values.cmake")
  endif()
  set(${text_var} "${text}" PARENT_SCOPE)
endfunction()

# One `inline constexpr` raw string literal of the header, of type `type`.
function(literal type name text out)
  string(FIND "${text}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "embed.cmake: ${name} contains the literal's end \")${delimiter}\"")
  endif()
  string(LENGTH "${text}" length)
  if(length GREATER literal_limit)
    message(FATAL_ERROR "embed.cmake: ${name} has ${length} bytes, over ${literal_limit}")
  endif()
  set(${out} "${${out}}inline constexpr ${type} ${name} = R\"${delimiter}(${text})${delimiter}\";\n"
      PARENT_SCOPE)
endfunction()

expand_script(helper.zsh helper)
expand_script(installer.zsh installer)
expand_script(administrator.zsh administrator)
expand_script(uninstaller.zsh uninstaller)
# The installer writes the helper through a here-document ending at this line.
string(FIND "${helper}" "\nEOS_HELPER\n" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "embed.cmake: helper.zsh contains the installer's EOS_HELPER line")
endif()
foreach(script helper installer administrator uninstaller)
  substitute_values(${script})
endforeach()

set(header "// Written by src/helper/scripts/embed.cmake from the files beside it.\n#pragma once\n\n")
string(APPEND header "#include <string_view>\n\nnamespace tesselwick::helper::scripts {\n\n")
# The version goes to C++ through BuildInfo.h; the names as kHelperPath and so on.
set(names ${TESSELWICK_SCRIPT_VALUES})
list(REMOVE_ITEM names HELPER_VERSION)
foreach(name IN LISTS names)
  string(TOLOWER "${name}" lower)
  string(REPLACE "_" ";" words "${lower}")
  set(camel "")
  foreach(word IN LISTS words)
    string(SUBSTRING "${word}" 0 1 first)
    string(SUBSTRING "${word}" 1 -1 rest)
    string(TOUPPER "${first}" first)
    string(APPEND camel "${first}${rest}")
  endforeach()
  literal("const char*" k${camel} "${TESSELWICK_${name}}" header)
endforeach()
string(APPEND header "\n")
literal(std::string_view kHelper "${helper}" header)
literal(std::string_view kInstaller "${installer}" header)
literal(std::string_view kAdministrator "${administrator}" header)
literal(std::string_view kUninstaller "${uninstaller}" header)
string(APPEND header "\n} // namespace tesselwick::helper::scripts\n")

file(WRITE "${OUTPUT}" "${header}")
