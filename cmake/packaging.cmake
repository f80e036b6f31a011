# What the host tools package carries (make dist): the commands and their
# manual pages, in the component "tools"; nothing else of the tree has
# install rules, and the package takes only this component. fontsheet and
# screensheet only remake pictures kept in docs/: they stay out. faults and
# rehearse go in beside phonesim, which they run; the PC build of the program it also
# needs is the user's own (--program).
include(GNUInstallDirs)

# help2man makes the manual pages from the tools' own --help text
# (scripts/manpage.sh); without it the tools build, the pages do not.
find_program(UPGRADER_HELP2MAN help2man)
if(NOT UPGRADER_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  message(STATUS "help2man not found: no manual pages (scripts/install-deps.sh installs it)")
endif()

# The section 1 page NAME.1.gz of the command TARGET, with the extra sections
# of docs/man/NAME.h2m, installed with the command.
function(upgrader_man_page target name)
  if(NOT UPGRADER_HELP2MAN)
    return()
  endif()
  set(include ${PROJECT_SOURCE_DIR}/docs/man/${name}.h2m)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name}.1.gz)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/manpage.sh $<TARGET_FILE:${target}> ${include}
            ${PROJECT_VERSION} ${page}
    DEPENDS ${target} ${include} ${PROJECT_SOURCE_DIR}/scripts/manpage.sh
    COMMENT "Manual page ${name}(1)"
    VERBATIM)
  add_custom_target(${name}_man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()

# Debian's place for the licence of what the package carries.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/upgrader-host-tools COMPONENT tools)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(UPGRADER_PACKAGE_MAINTAINER "upgrader maintainers <upgrader@localhost>"
    CACHE STRING "Maintainer field of the host tools package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME upgrader-host-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${UPGRADER_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ROM pack tool, simulated telephone, power-cut campaign and fleet rehearsal for the firmware upgrader")
# Under the summary line, as the package's long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "rompack makes ROM packs from JSON manifests, shows what is in a pack and
runs the upgrader's own pack check against a telephone profile. phonesim is
the desk telephone on a PC: a root with the platform's files and a FUSE
kernel serving its boot environment and flash, in which the upgrader runs
unchanged. faults cuts the power of a simulated telephone at every flash
operation of an upgrade and judges what the telephone is left with.
rehearse runs a pack on every telephone of a fleet (check, whole upgrade,
power cuts) and writes a self-contained HTML report; its shards run on a
job runner such as GNU parallel and merge into the same report.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries come from dpkg-shlibdeps (package dpkg-dev); phonesim mounts
# its kernel with libfuse3, which needs fusermount3 (fuse3) when the mount
# is not made as root; "phonesim init --busybox" copies the host's busybox.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS fuse3)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS busybox)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};tools;/")
include(CPack)
