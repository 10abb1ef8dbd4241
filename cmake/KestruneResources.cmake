# Build-time embedding of files into components.
#
# kestrune_add_resources(<target> <folder>)
#   Every file of <folder> becomes an entry of the table the target exports as
#   "KestruneResources": id (from 200, in sorted file-name order), type ("BITMAP" for
#   *.bmp, else "JPG"), name (file name without its last extension) and bytes. A missing
#   or empty folder gives an empty table; files added later are picked up by the glob.
#   On Windows the bytes go into the DLL's resource section instead (type "JPG", and bitmaps
#   as the system's own bitmap resources), under the same ids; the table, which the DLL does
#   not export, keeps the names that GetBitmapId answers from.
#
# kestrune_embed_file(<target> <file> <symbol>)
#   <file> becomes "const unsigned char <symbol>[]" (NUL-terminated) and
#   "const unsigned int <symbol>_size" (without the terminator) in the target.

set(KESTRUNE_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/KestruneEmbed.cmake)

function(kestrune_add_resources target folder)
    file(GLOB candidates LIST_DIRECTORIES false CONFIGURE_DEPENDS "${folder}/*")
    set(files "")
    foreach(candidate IN LISTS candidates)
        get_filename_component(file_name "${candidate}" NAME)
        if(NOT file_name MATCHES "^\\.")
            list(APPEND files "${candidate}")
        endif()
    endforeach()
    list(SORT files)

    set(seen "")
    foreach(file IN LISTS files)
        get_filename_component(base "${file}" NAME_WLE)
        if(base IN_LIST seen)
            message(WARNING "${target}: two resources are named '${base}' in ${folder}; "
                            "lookups by name find the first")
        endif()
        list(APPEND seen "${base}")
    endforeach()

    set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.list)
    string(REPLACE ";" "\n" manifest_text "${files}")
    # Rewritten only when the set of files changes, so the table is rebuilt exactly then.
    set(previous "")
    if(EXISTS ${manifest})
        file(READ ${manifest} previous)
    endif()
    if(NOT previous STREQUAL "${manifest_text}\n")
        file(WRITE ${manifest} "${manifest_text}\n")
    endif()

    set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.c)
    set(outputs ${output})
    set(windows_arguments "")
    if(WIN32)
        set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
        list(APPEND outputs ${script})
        set(windows_arguments -DWINDOWS=ON -DRC_OUTPUT=${script})
    endif()
    add_custom_command(
        OUTPUT ${outputs}
        COMMAND ${CMAKE_COMMAND} -DMODE=table -DMANIFEST=${manifest} -DOUTPUT=${output}
                ${windows_arguments} -P ${KESTRUNE_EMBED_SCRIPT}
        DEPENDS ${files} ${manifest} ${KESTRUNE_EMBED_SCRIPT}
        COMMENT "Embedding resources of ${target}"
        VERBATIM)
    # The resource compiler refuses a script without resources.
    if(WIN32 AND NOT files)
        list(REMOVE_ITEM outputs "${script}")
    endif()
    target_sources(${target} PRIVATE ${outputs})
endfunction()

function(kestrune_embed_file target file symbol)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_${symbol}.c)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DMODE=file -DINPUT=${file} -DSYMBOL=${symbol}
                -DOUTPUT=${output} -DWINDOWS=${WIN32} -P ${KESTRUNE_EMBED_SCRIPT}
        DEPENDS ${file} ${KESTRUNE_EMBED_SCRIPT}
        COMMENT "Embedding ${file}"
        VERBATIM)
    target_sources(${target} PRIVATE ${output})
endfunction()
