# Turns a binary file into a C++ source holding it as a constant byte array,
# at build time, so the program carries the data and reads no file at run time.
#
#   oriel_embed_binary(
#       INPUT     <binary file>
#       OUTPUT    <generated .cpp>
#       SYMBOL    <array name>
#       NAMESPACE <C++ namespace>
#       [INCLUDE  <header declaring the array>])
#
# The array is defined with the file's exact length; a header that declares it
# with a different length makes the generated source fail to compile. The
# custom command depends on the input file and on this script, so editing
# either regenerates and rebuilds.
#
# Invoked as `cmake -P EmbedBinary.cmake` (with -DINPUT= ... -DOUTPUT= ...) it
# performs the conversion itself; that is how the custom command runs it.

if(CMAKE_SCRIPT_MODE_FILE AND NOT CMAKE_PARENT_LIST_FILE)
    foreach(var INPUT OUTPUT SYMBOL NAMESPACE)
        if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
            message(FATAL_ERROR "EmbedBinary: ${var} not given")
        endif()
    endforeach()
    if(NOT EXISTS "${INPUT}")
        message(FATAL_ERROR "EmbedBinary: input file ${INPUT} does not exist")
    endif()
    file(SIZE "${INPUT}" size)
    if(size EQUAL 0)
        message(FATAL_ERROR "EmbedBinary: input file ${INPUT} is empty")
    endif()
    file(READ "${INPUT}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # 16 bytes a line keeps the generated file readable in a diff.
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
           "\\1\n" bytes "${bytes}")
    set(include_line "")
    if(DEFINED INCLUDE AND NOT "${INCLUDE}" STREQUAL "")
        set(include_line "#include \"${INCLUDE}\"\n")
    endif()
    get_filename_component(input_name "${INPUT}" NAME)
    set(text "// Generated at build time from ${input_name} by cmake/EmbedBinary.cmake; do not edit.\n")
    string(APPEND text "#include <cstddef>\n#include <cstdint>\n${include_line}\n")
    string(APPEND text "namespace ${NAMESPACE} {\n\n")
    string(APPEND text "extern const std::uint8_t ${SYMBOL}[${size}];\n")
    string(APPEND text "alignas(4) const std::uint8_t ${SYMBOL}[${size}] = {\n${bytes}\n};\n\n")
    string(APPEND text "}  // namespace ${NAMESPACE}\n")
    # Write only on change, so an unchanged image does not recompile.
    set(tmp "${OUTPUT}.tmp")
    file(WRITE "${tmp}" "${text}")
    file(COPY_FILE "${tmp}" "${OUTPUT}" ONLY_IF_DIFFERENT)
    file(REMOVE "${tmp}")
    return()
endif()

set(ORIEL_EMBED_BINARY_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

function(oriel_embed_binary)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "INPUT;OUTPUT;SYMBOL;NAMESPACE;INCLUDE" "")
    foreach(var INPUT OUTPUT SYMBOL NAMESPACE)
        if(NOT arg_${var})
            message(FATAL_ERROR "oriel_embed_binary: ${var} is required")
        endif()
    endforeach()
    add_custom_command(
        OUTPUT "${arg_OUTPUT}"
        COMMAND "${CMAKE_COMMAND}"
                "-DINPUT=${arg_INPUT}"
                "-DOUTPUT=${arg_OUTPUT}"
                "-DSYMBOL=${arg_SYMBOL}"
                "-DNAMESPACE=${arg_NAMESPACE}"
                "-DINCLUDE=${arg_INCLUDE}"
                -P "${ORIEL_EMBED_BINARY_SCRIPT}"
        DEPENDS "${arg_INPUT}" "${ORIEL_EMBED_BINARY_SCRIPT}"
        COMMENT "Embedding ${arg_INPUT}"
        VERBATIM)
endfunction()
