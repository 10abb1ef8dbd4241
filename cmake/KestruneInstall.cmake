# Install rules: the layout of the Debian package.
#   /usr/bin/kestrune, /usr/bin/kestrune-cli
#   /usr/lib/<multiarch>/kestrune/   the components, the disk-number library and the
#                                    update's installer
#   /usr/share/polkit-1/actions/     the installer's polkit action
#   /etc/kestrune/machine.reg        registers that folder for each component
#   desktop entry, hicolor icons, AppStream metadata, manual page, copyright, changelog

set(KESTRUNE_APP_ID com.vaskorsecurity.kestrune)
set(KESTRUNE_MAINTAINER "Vaskor Security <kestrune@example.org>")
set(KESTRUNE_COMPONENT_DIR ${CMAKE_INSTALL_FULL_LIBDIR}/kestrune)
set(KESTRUNE_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KESTRUNE_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)

# Run paths: the program finds the disk-number library relative to itself; components find
# it in their own folder (the program has usually loaded it already). Every installed file
# is linked with its final run path: CMake's in-place rewrite at install time leaves an
# empty entry in the build tree's run path, which the loader takes for the current folder.
set(KESTRUNE_INSTALLED_LIBRARIES kestrune_disknumbers kestrune_language kestrune_language_NTV
    kestrune_language_DE VSKRemovableShredder VSKUpdate)
set_target_properties(${KESTRUNE_INSTALLED_LIBRARIES} PROPERTIES
    BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "$ORIGIN")
# The program of the build tree runs beside its components in bin/; the installed one is
# linked apart for its place in /usr/bin.
file(RELATIVE_PATH kestrune_bin_to_private ${CMAKE_INSTALL_FULL_BINDIR} ${KESTRUNE_COMPONENT_DIR})
kestrune_window_program(kestrune_installed)
set_target_properties(kestrune_installed PROPERTIES
    OUTPUT_NAME kestrune RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/installed
    BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "$ORIGIN/${kestrune_bin_to_private}")
kestrune_terminal_program(kestrune-cli_installed)
set_target_properties(kestrune-cli_installed PROPERTIES
    OUTPUT_NAME kestrune-cli RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/installed
    BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "$ORIGIN/${kestrune_bin_to_private}")

# Folders get the same permissions whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(kestrune_library_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(kestrune_data_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

install(TARGETS kestrune_installed kestrune-cli_installed RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${KESTRUNE_INSTALLED_LIBRARIES}
        LIBRARY DESTINATION ${KESTRUNE_PRIVATE_LIBDIR} PERMISSIONS ${kestrune_library_permissions})
# pkexec runs the installer only at the path its action names.
install(TARGETS kestrune-install-update RUNTIME DESTINATION ${KESTRUNE_PRIVATE_LIBDIR})
set(KESTRUNE_UPDATE_INSTALLER ${KESTRUNE_COMPONENT_DIR}/kestrune-install-update)
configure_file(${KESTRUNE_PACKAGING_DIR}/install-update.policy.in
               ${KESTRUNE_GENERATED_DIR}/${KESTRUNE_APP_ID}.install-update.policy @ONLY)
install(FILES ${KESTRUNE_GENERATED_DIR}/${KESTRUNE_APP_ID}.install-update.policy
        DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions
        PERMISSIONS ${kestrune_data_permissions})

configure_file(${KESTRUNE_PACKAGING_DIR}/machine.reg.in ${KESTRUNE_GENERATED_DIR}/machine.reg @ONLY)
# The full path: below the prefix /usr, the settings folder is /etc, not /usr/etc.
install(FILES ${KESTRUNE_GENERATED_DIR}/machine.reg
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kestrune
        PERMISSIONS ${kestrune_data_permissions})

configure_file(${KESTRUNE_PACKAGING_DIR}/kestrune.desktop.in
               ${KESTRUNE_GENERATED_DIR}/${KESTRUNE_APP_ID}.desktop @ONLY)
install(FILES ${KESTRUNE_GENERATED_DIR}/${KESTRUNE_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

configure_file(${KESTRUNE_PACKAGING_DIR}/metainfo.xml.in
               ${KESTRUNE_GENERATED_DIR}/${KESTRUNE_APP_ID}.metainfo.xml @ONLY)
install(FILES ${KESTRUNE_GENERATED_DIR}/${KESTRUNE_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

file(GLOB kestrune_icon_sizes LIST_DIRECTORIES true RELATIVE ${CMAKE_SOURCE_DIR}/res/icons/hicolor
     ${CMAKE_SOURCE_DIR}/res/icons/hicolor/*)
foreach(size IN LISTS kestrune_icon_sizes)
    install(FILES ${CMAKE_SOURCE_DIR}/res/icons/hicolor/${size}/kestrune.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${KESTRUNE_APP_ID}.png)
endforeach()

# Debian wants the manual page and the changelog compressed, without a time stamp.
find_program(KESTRUNE_GZIP gzip REQUIRED)
configure_file(${KESTRUNE_PACKAGING_DIR}/kestrune.1.in ${KESTRUNE_GENERATED_DIR}/kestrune.1 @ONLY)
configure_file(${KESTRUNE_PACKAGING_DIR}/kestrune-cli.1.in ${KESTRUNE_GENERATED_DIR}/kestrune-cli.1
               @ONLY)
configure_file(${KESTRUNE_PACKAGING_DIR}/changelog.in ${KESTRUNE_GENERATED_DIR}/changelog @ONLY)
foreach(document kestrune.1 kestrune-cli.1 changelog)
    add_custom_command(
        OUTPUT ${KESTRUNE_GENERATED_DIR}/${document}.gz
        COMMAND ${KESTRUNE_GZIP} -9 -n -c ${KESTRUNE_GENERATED_DIR}/${document}
                > ${KESTRUNE_GENERATED_DIR}/${document}.gz
        DEPENDS ${KESTRUNE_GENERATED_DIR}/${document}
        VERBATIM)
endforeach()
add_custom_target(kestrune_documents ALL
    DEPENDS ${KESTRUNE_GENERATED_DIR}/kestrune.1.gz ${KESTRUNE_GENERATED_DIR}/kestrune-cli.1.gz
            ${KESTRUNE_GENERATED_DIR}/changelog.gz)
install(FILES ${KESTRUNE_GENERATED_DIR}/kestrune.1.gz ${KESTRUNE_GENERATED_DIR}/kestrune-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KESTRUNE_GENERATED_DIR}/changelog.gz ${KESTRUNE_PACKAGING_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrune)

# A stripped install (the package's) also drops the compilers' notes, as Debian's own
# packaging does.
find_program(KESTRUNE_OBJCOPY NAMES objcopy REQUIRED)
install(CODE "
if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB_RECURSE installed_objects
         \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_BINDIR}/kestrune\"
         \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_BINDIR}/kestrune-cli\"
         \"\$ENV{DESTDIR}${KESTRUNE_COMPONENT_DIR}/*\")
    foreach(object IN LISTS installed_objects)
        execute_process(COMMAND ${KESTRUNE_OBJCOPY} --remove-section=.comment
                                --remove-section=.note \"\${object}\"
                        COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endif()")

# What the package holds. Installing (and so cpack) builds nothing itself: script/package
# builds everything first, and a build of the package alone (CI's second build, which checks
# that other folders give the same bytes) builds just this.
add_custom_target(kestrune_package_contents)
add_dependencies(kestrune_package_contents kestrune_installed kestrune-cli_installed
                 ${KESTRUNE_INSTALLED_LIBRARIES} kestrune-install-update kestrune_documents)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
