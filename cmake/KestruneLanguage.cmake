# Building the language component and language files, shared by the shipped components and
# the variants the tests build.
include(${CMAKE_CURRENT_LIST_DIR}/KestruneResources.cmake)

set(KESTRUNE_LANGUAGE_SOURCE_DIR ${CMAKE_SOURCE_DIR}/components/language)
set(KESTRUNE_LANGUAGE_FILES_SOURCE_DIR ${CMAKE_SOURCE_DIR}/components/language_files)

function(kestrune_component_properties target output_name output_dir)
    set_target_properties(${target} PROPERTIES
        PREFIX "" SUFFIX ".dll" OUTPUT_NAME ${output_name}
        LIBRARY_OUTPUT_DIRECTORY ${output_dir}
        C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
        AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
    if(WIN32)
        # The DLL stands alone on a Windows machine (the compiler's runtime goes into it), and
        # only what is marked for export leaves it.
        target_link_options(${target} PRIVATE -static -Wl,--no-undefined
                                              -Wl,--exclude-all-symbols)
    else()
        # A component's calls into itself must never bind to a same-named symbol elsewhere,
        # and what the static libraries inside it define (the standard library's templates
        # among them) does not leave it.
        target_link_options(${target} PRIVATE -Wl,-Bsymbolic -Wl,--no-undefined
                                              -Wl,--exclude-libs,ALL)
    endif()
endfunction()

# kestrune_add_language_component(<target> OUTPUT_DIRECTORY <dir> [OMIT <entry>...])
function(kestrune_add_language_component target)
    cmake_parse_arguments(ARG "" "OUTPUT_DIRECTORY" "OMIT" ${ARGN})
    add_library(${target} MODULE ${KESTRUNE_LANGUAGE_SOURCE_DIR}/VSKLanguage.cpp)
    target_link_libraries(${target} PRIVATE kestrune_language_support)
    foreach(entry IN LISTS ARG_OMIT)
        target_compile_definitions(${target} PRIVATE KESTRUNE_OMIT_${entry})
    endforeach()
    kestrune_component_properties(${target} VSKLanguage ${ARG_OUTPUT_DIRECTORY})
endfunction()

# kestrune_add_language_file(<target> CODE <code> TABLE <file.txt> [PICTURES <folder>]
#                            OUTPUT_DIRECTORY <dir> [OUTPUT_NAME <name>] [OMIT <entry>...])
# The table goes through configure_file (@ONLY), so it may name @PROJECT_VERSION@.
function(kestrune_add_language_file target)
    cmake_parse_arguments(ARG "" "CODE;TABLE;PICTURES;OUTPUT_DIRECTORY;OUTPUT_NAME" "OMIT" ${ARGN})
    if(NOT ARG_OUTPUT_NAME)
        set(ARG_OUTPUT_NAME VSKLanguageKestrune_${ARG_CODE})
    endif()
    add_library(${target} MODULE ${KESTRUNE_LANGUAGE_FILES_SOURCE_DIR}/LanguageFile.cpp)
    target_link_libraries(${target} PRIVATE kestrune_language_support)
    set(configured ${CMAKE_CURRENT_BINARY_DIR}/${target}_texts.txt)
    configure_file(${ARG_TABLE} ${configured} @ONLY)
    kestrune_embed_file(${target} ${configured} kestrune_text_table)
    if(ARG_PICTURES)
        kestrune_add_resources(${target} ${ARG_PICTURES})
    else()
        kestrune_add_resources(${target} ${CMAKE_CURRENT_BINARY_DIR}/${target}_no_pictures)
    endif()
    foreach(entry IN LISTS ARG_OMIT)
        target_compile_definitions(${target} PRIVATE KESTRUNE_OMIT_${entry})
    endforeach()
    kestrune_component_properties(${target} ${ARG_OUTPUT_NAME} ${ARG_OUTPUT_DIRECTORY})
endfunction()
