# The Debian packages (cpack -G DEB in a release build, scripts/package):
#   quillport      the download tool and quillport-pack, its menu entry and
#                  the station service quillport-station@.service
#   tavlo          the writer and tavlo-ledger, its menu entry
#   pdl-phone-sim  the phone simulator, for training and demonstrations
#   norq-report    the yield report over both programs' phone records
# Programs go to /usr/bin, manual pages to /usr/share/man/man1, documents to
# /usr/share/doc/<package>. The windows' texts are built into the programs,
# so no package has a /usr/share/<package> of its own yet.

include(GNUInstallDirs)

# Each package: its programs, the name help2man gives each in NAME, and the
# documents beside README.md, copyright and the changelog.
set(NORQ_PACKAGES quillport tavlo pdl-phone-sim norq-report)
set(NORQ_PROGRAMS_quillport quillport quillport-pack)
set(NORQ_PROGRAMS_tavlo tavlo tavlo-ledger)
set(NORQ_PROGRAMS_pdl-phone-sim pdl-phone-sim)
set(NORQ_PROGRAMS_norq-report norq-report)
set(NORQ_MAN_NAME_quillport "multi-port phone firmware download tool")
set(NORQ_MAN_NAME_quillport-pack "build, list and check quillport firmware packages")
set(NORQ_MAN_NAME_tavlo "phone IMEI and serial-number writer")
set(NORQ_MAN_NAME_tavlo-ledger "the writer stations' shared number ledger")
set(NORQ_MAN_NAME_pdl-phone-sim "simulated phones for the download tool and the writer")
set(NORQ_MAN_NAME_norq-report "yield of the download and writer stations' phone records")
# Documents of the records and the console's --json output go here once written.
set(NORQ_DOCS_quillport ${PROJECT_SOURCE_DIR}/README.md)
set(NORQ_DOCS_tavlo ${PROJECT_SOURCE_DIR}/README.md)
set(NORQ_DOCS_pdl-phone-sim ${PROJECT_SOURCE_DIR}/README.md)
set(NORQ_DOCS_norq-report ${PROJECT_SOURCE_DIR}/README.md)
set(NORQ_DEB_RELEASE 1)

# Installed directories are 0755 whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The manual pages come from each program's own --help and --version
# (help2man), with the exit status, files and examples from
# packaging/man/<program>.h2m; gzip -n keeps them the same from build to build.
option(NORQ_BUILD_MAN "Build the manual pages with help2man (the packages need them)" OFF)
if(NORQ_BUILD_MAN)
  find_program(NORQ_HELP2MAN help2man REQUIRED)
  find_program(NORQ_GZIP gzip REQUIRED)
endif()

set(man_dir ${CMAKE_BINARY_DIR}/man)
set(deb_dir ${CMAKE_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${man_dir})
set(man_pages)
foreach(package IN LISTS NORQ_PACKAGES)
  foreach(program IN LISTS NORQ_PROGRAMS_${package})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${package})
    if(NORQ_BUILD_MAN)
      set(include_file ${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m)
      add_custom_command(OUTPUT ${man_dir}/${program}.1.gz
        COMMAND ${NORQ_HELP2MAN} --no-info --section=1 --name=${NORQ_MAN_NAME_${program}}
                --include=${include_file} --output=${man_dir}/${program}.1 $<TARGET_FILE:${program}>
        COMMAND ${NORQ_GZIP} -9nf ${man_dir}/${program}.1
        DEPENDS ${program} ${include_file}
        COMMENT "Manual page of ${program}"
        VERBATIM)
      list(APPEND man_pages ${man_dir}/${program}.1.gz)
      install(FILES ${man_dir}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT ${package})
    endif()
  endforeach()
  # Debian's changelog of the package, compressed as policy wants it.
  set(NORQ_PACKAGE ${package})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
    ${deb_dir}/${package}/changelog.Debian @ONLY)
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${NORQ_DOCS_${package}} ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
    DESTINATION ${doc_dir} COMPONENT ${package})
  install(FILES ${deb_dir}/${package}/changelog.Debian.gz DESTINATION ${doc_dir}
    COMPONENT ${package})
  list(APPEND changelogs ${deb_dir}/${package}/changelog.Debian.gz)
  add_custom_command(OUTPUT ${deb_dir}/${package}/changelog.Debian.gz
    COMMAND gzip -9nc ${deb_dir}/${package}/changelog.Debian > ${deb_dir}/${package}/changelog.Debian.gz
    DEPENDS ${deb_dir}/${package}/changelog.Debian
    VERBATIM)
endforeach()
add_custom_target(norq_package_files ALL DEPENDS ${man_pages} ${changelogs})

# The windows' menu entries and icons.
foreach(window quillport tavlo)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/${window}.desktop
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT ${window})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/${window}.svg
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps COMPONENT ${window})
endforeach()
# Debian 12 keeps the packages' units in /lib/systemd/system.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/quillport-station@.service
  DESTINATION /lib/systemd/system COMPONENT quillport)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${NORQ_PACKAGES})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Norq line tools <line-tools@norq.example.com>")
set(CPACK_PACKAGE_VENDOR Norq)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${NORQ_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Runtime dependencies come from the programs' own libraries (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
foreach(package IN LISTS NORQ_PACKAGES)
  string(TOUPPER ${package} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
endforeach()
# The windows need Qt's X11 platform plug-in, which no program links, and a
# font with the Chinese texts.
set(CPACK_DEBIAN_QUILLPORT_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_TAVLO_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_QUILLPORT_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_TAVLO_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PDL-PHONE-SIM_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_QUILLPORT_DESCRIPTION
  "multi-port phone firmware download tool
Flashes firmware packages into phones connected by USB, on eight port rows
at once, phone after phone, from its window or unattended from the console.
quillport-pack builds, lists and checks the packages. The service
quillport-station@.service runs an unattended station.")
set(CPACK_COMPONENT_TAVLO_DESCRIPTION
  "phone IMEI and serial-number writer
Writes IMEIs, mother-board and phone serial numbers, an LCD name and DDR
firmware into the factory data of phones connected by USB, from typed
numbers, list files or a generator, and never hands a number out twice.
tavlo-ledger keeps the shared ledger of several writer stations.")
set(CPACK_COMPONENT_PDL-PHONE-SIM_DESCRIPTION
  "simulated phones for the phone download tool and writer
Serves simulated phones on pseudo-terminals that the download tool and the
writer find as USB serial ports, for training, demonstrations and tests.")
set(CPACK_COMPONENT_NORQ-REPORT_DESCRIPTION
  "yield report of the phone download and writer stations
Reads the phone records that the download tool and the writer keep, from
their records files or the shared database, and prints yield per station,
row and day with the failures ranked by count, or writes one HTML page
with the same tables and charts.")
include(CPack)
