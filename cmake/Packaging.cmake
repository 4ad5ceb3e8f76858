# Where `cmake --install` puts the programs, and the packages CPack makes of
# them: on Linux a Debian package of updater, kfstool and their manual pages;
# from a Windows build a zip of the window program, the README and the
# SHA-256 digests of both.
include(GNUInstallDirs)
include(${PROJECT_SOURCE_DIR}/version/version-text.cmake)

if(WIN32)
  if(TARGET updater)
    install(TARGETS updater RUNTIME DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
    # Digests of what the zip holds, in the form `sha256sum -c` reads.
    install(CODE [[
      set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
      set(sums "")
      foreach(name updater.exe README.md)
        file(SHA256 "${dir}/${name}" digest)
        string(APPEND sums "${digest}  ${name}\n")
      endforeach()
      file(WRITE "${dir}/SHA256SUMS" "${sums}")
    ]])
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_PROCESSOR}-windows)
else()
  # Manual pages go out compressed, as Debian's packages carry them; -n keeps the
  # name and time stamp out, so that two builds give the same bytes.
  set(man_pages kfstool)
  if(TARGET updater)
    install(TARGETS updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND man_pages updater)
  endif()
  install(TARGETS kfstool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(compressed_pages "")
  foreach(page IN LISTS man_pages)
    set(source ${PROJECT_SOURCE_DIR}/man/${page}.1)
    set(compressed ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${GZIP_PROGRAM} -9 -n -c ${source} > ${compressed}
      DEPENDS ${source} VERBATIM)
    list(APPEND compressed_pages ${compressed})
  endforeach()
  add_custom_target(manual_pages ALL DEPENDS ${compressed_pages})
  install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
  # The native build keeps its symbols; the release zip's program is stripped already.
  set(CPACK_STRIP_FILES ON)
endif()

# The package's version is the build's, as worked out when CMake configures:
# from a tag v1.2-3-gabc1234 it is 1.2+3+gabc1234, from a commit without tag
# 0+git.abc1234 (a Debian version starts with a digit and keeps hyphens for
# the package revision).
updater_version_text("${PROJECT_SOURCE_DIR}" "${UPDATER_VERSION}" package_version package_numbers)
if(package_version MATCHES "^v?[0-9]+(\\.[0-9]+)*(-.*)?$")
  string(REGEX REPLACE "^v" "" package_version "${package_version}")
else()
  set(package_version "0+git.${package_version}")
endif()
string(REGEX REPLACE "[^A-Za-z0-9.+~]" "+" package_version "${package_version}")

set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${package_version})
set(CPACK_PACKAGE_CONTACT "The updater's developers <updater@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for one model of ATAPI optical drive, and kfstool")
set(CPACK_PACKAGE_DESCRIPTION
    "updater checks an optical drive against the firmware it carries and writes the firmware to it; kfstool inspects, unpacks, packs and verifies KFS firmware containers.")
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${package_version}-${CPACK_SYSTEM_NAME})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
