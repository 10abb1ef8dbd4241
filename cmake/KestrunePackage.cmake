# The Debian package (script/package runs cpack on this build).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vaskor Security")
set(CPACK_PACKAGE_CONTACT ${KESTRUNE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "securely erase USB sticks and memory cards")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Kestrune overwrites removable media so that nothing stored on them can be\n"
    "recovered. Every USB stick or memory card that is plugged in appears as a row\n"
    "of its window. Start erases it with the chosen method (zeros, random data,\n"
    "three passes or the 35-pass Gutmann sequence), verifies every byte, can give it\n"
    "a fresh FAT file system and writes an XML report of the job with a PDF\n"
    "certificate beside it. kestrune-cli does the same from a terminal, for\n"
    "servers, scripts and batches of sticks.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KESTRUNE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://example.org/kestrune)
# Libraries from the binaries; the tools the program runs by name come on top.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_FULL_LIBDIR}/kestrune)
# What no job can do without; the disk service, polkit and pkexec only let a normal user
# erase (and install an update), and hard dependencies on them pull systemd in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dosfstools, util-linux (>= 2.38)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, polkitd, pkexec")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/kestrune/machine.reg\n")

include(CPack)
