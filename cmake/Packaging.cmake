# What an installed Zentrova brings besides the programs (the manual pages,
# the bash completion, the AppStream metainfo, the documents under
# /usr/share/doc) and the Debian package of it all: `make package` gives
# dist/zentrova_VERSION_ARCH.deb. The version is the project's, as
# `zentrova --version` prints it.
include(GNUInstallDirs)

set(ZENTROVA_CONTACT "The Zentrova developers <developers@zentrova.org>")
set(ZENTROVA_HOMEPAGE "https://zentrova.org/")
set(generated ${CMAKE_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${generated})

# The pages and the completion come from the program itself, so a build
# that cannot run it (cross-built) goes without them.
if(NOT CMAKE_CROSSCOMPILING)
  find_program(ZENTROVA_GZIP gzip REQUIRED)
  add_custom_command(
    OUTPUT ${generated}/zentrova.1.gz ${generated}/zentrova-gui.1.gz ${generated}/zentrova.bash
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:zentrova> -DOUT=${generated}
            -DSOURCE=${PROJECT_SOURCE_DIR} -DGZIP=${ZENTROVA_GZIP}
            -P ${PROJECT_SOURCE_DIR}/cmake/MakeDocs.cmake
    DEPENDS zentrova ${PROJECT_SOURCE_DIR}/cmake/MakeDocs.cmake
            ${PROJECT_SOURCE_DIR}/data/zentrova-gui.1
    COMMENT "Manual pages and bash completion from zentrova's own options"
    VERBATIM)
  add_custom_target(zentrova_docs ALL
    DEPENDS ${generated}/zentrova.1.gz ${generated}/zentrova-gui.1.gz ${generated}/zentrova.bash)
  install(FILES ${generated}/zentrova.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(ZENTROVA_GUI)
    install(FILES ${generated}/zentrova-gui.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  install(FILES ${generated}/zentrova.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME zentrova)
endif()

if(ZENTROVA_GUI)
  configure_file(${PROJECT_SOURCE_DIR}/data/zentrova.metainfo.xml.in
                 ${generated}/org.zentrova.Zentrova.metainfo.xml @ONLY)
  install(FILES ${generated}/org.zentrova.Zentrova.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# /usr/share/doc/zentrova: the README, the licence as a machine-readable
# copyright file, and the changelog.
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/zentrova)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(STRIP "${licence}" licence)
string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REGEX REPLACE "\n" "\n " licence "${licence}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" holder "${licence}")
file(WRITE ${generated}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: zentrova\n"
     "Source: ${ZENTROVA_HOMEPAGE}\n\n"
     "Files: *\n"
     "Copyright: ${CMAKE_MATCH_1}\n"
     "License: MIT\n ${licence}\n")
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.in ${generated}/changelog @ONLY)
if(NOT CMAKE_CROSSCOMPILING)
  add_custom_command(OUTPUT ${generated}/changelog.gz
    COMMAND ${ZENTROVA_GZIP} -9nkf ${generated}/changelog
    DEPENDS ${generated}/changelog VERBATIM)
  add_custom_target(zentrova_changelog ALL DEPENDS ${generated}/changelog.gz)
  install(FILES ${generated}/changelog.gz DESTINATION ${docdir})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${generated}/copyright DESTINATION ${docdir})

# The package: run-time dependencies from the binaries (dpkg-shlibdeps);
# the OpenCL loader is opened at run time when present, so it is
# recommended, and PoCL (OpenCL on the CPU) and mpirun suggested.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentrova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZENTROVA_CONTACT})
set(CPACK_PACKAGE_VENDOR "The Zentrova developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sieve generalized Fermat numbers for small prime factors")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Zentrova sieves the generalized Fermat numbers b^N+1, N a power of two, over
a range of bases b: it strikes every base that has a small prime factor
p = k*2N+1, so that only the survivors go on to a slow primality test.
.
Vector kernels run on every core, OpenCL kernels on graphics cards, and a
run can be stopped, crash or be resumed without losing work. The package
holds the command line (zentrova) and the desktop program (zentrova-gui).")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ZENTROVA_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ocl-icd-libopencl1 | libopencl1")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pocl-opencl-icd, openmpi-bin")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/dist)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
