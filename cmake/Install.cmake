# Installation (`cmake --install <build> [--prefix P]`, DESTDIR honoured):
#   bin/                    the programs (they find the libraries through RPATH
#                           $ORIGIN/../lib/zevazodizo)
#   lib/zevazodizo/         the project's shared libraries, in a folder of their own so that
#                           their plain names meet nothing else of the system's
#   lib/systemd/user/       brokla.service, naming the installed brokla
#   share/zevazodizo/       the services entries, the region files and the run report's
#                           DTD and style sheet, which each user's first run
#                           (zevazodizo-setup) copies into the user's installation folder
#                           (registry "Path"), where every program reads them
# The simulators are test and demo equipment: only `--component simulators` installs them
# (zevasim, the board's stand-in library, and its configuration file keth.bit, which the
# first run copies into the installation folder as well).
# The build tree keeps the same files beside its programs, where they look when no
# installation folder is registered, so that programs run from a build find them too.

set(ZEVA_REPORT_FILES ${PROJECT_SOURCE_DIR}/dist/logfile.dtd ${PROJECT_SOURCE_DIR}/dist/logfile.xsl)
set(ZEVA_SHARED_FILES ${PROJECT_SOURCE_DIR}/dist/services ${PROJECT_SOURCE_DIR}/dist/ChipRegions.ini
                      ${PROJECT_SOURCE_DIR}/dist/RegionDB.sys ${ZEVA_REPORT_FILES})

# The build tree: share/zevazodizo for zevazodizo-setup run from the build; the region
# files and the report files beside the programs and libraries in bin/ for programs run
# without an installation folder.
foreach(f ${ZEVA_SHARED_FILES})
  get_filename_component(name ${f} NAME)
  configure_file(${f} ${CMAKE_BINARY_DIR}/share/zevazodizo/${name} COPYONLY)
endforeach()
foreach(f ${PROJECT_SOURCE_DIR}/dist/ChipRegions.ini ${PROJECT_SOURCE_DIR}/dist/RegionDB.sys ${ZEVA_REPORT_FILES})
  get_filename_component(name ${f} NAME)
  configure_file(${f} ${CMAKE_BINARY_DIR}/bin/${name} COPYONLY)
endforeach()

if(TARGET okFrontPanel)
  configure_file(${PROJECT_SOURCE_DIR}/dist/sim/keth.bit ${CMAKE_BINARY_DIR}/share/zevazodizo/keth.bit COPYONLY)
  configure_file(${PROJECT_SOURCE_DIR}/dist/sim/keth.bit ${CMAKE_BINARY_DIR}/bin/keth.bit COPYONLY)
endif()

set(zeva_programs)
foreach(t brokla movrak-register quillmark scanner-host zevazodizo-setup)
  if(TARGET ${t})
    list(APPEND zeva_programs ${t})
  endif()
endforeach()
set(zeva_libraries ${ZEVA_PLATFORM_LIBRARIES})
foreach(t Jotwell Pellux Tessary Movrak Lumetra)
  if(TARGET ${t})
    list(APPEND zeva_libraries ${t})
  endif()
endforeach()

# First of all rules: a prefix the unit cannot name is refused before anything is written.
install(CODE "
  include(\"${PROJECT_SOURCE_DIR}/cmake/InstallUnit.cmake\")
  zeva_check_install_prefix(\"\${CMAKE_INSTALL_PREFIX}\")
")

# The libraries find each other in their own folder.
set_target_properties(${zeva_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${zeva_programs} RUNTIME DESTINATION bin)
install(TARGETS ${zeva_libraries} LIBRARY DESTINATION ${ZEVA_INSTALL_LIBDIR})
install(FILES ${ZEVA_SHARED_FILES} DESTINATION share/zevazodizo)

# The unit names the installed program, so it is written when the prefix is final (an
# install-time --prefix included), straight to its place: two installs of one build at
# the same time (the tests do that) must not share a file of the build tree.
install(CODE "zeva_install_unit(\"${PROJECT_SOURCE_DIR}/dist/brokla.service.in\")")

foreach(t zevasim okFrontPanel)
  if(TARGET ${t})
    # The board's stand-in goes where the data port loads the board's library from: beside
    # the program that uses the board.
    install(TARGETS ${t}
            RUNTIME DESTINATION bin COMPONENT simulators EXCLUDE_FROM_ALL
            LIBRARY DESTINATION bin COMPONENT simulators EXCLUDE_FROM_ALL)
  endif()
endforeach()
if(TARGET okFrontPanel)
  # The stand-in takes any configuration file; the first run copies it into the
  # installation folder, where the data port looks for "keth.bit".
  install(FILES ${PROJECT_SOURCE_DIR}/dist/sim/keth.bit DESTINATION share/zevazodizo
          COMPONENT simulators EXCLUDE_FROM_ALL)
endif()

# The installation test installs all of it.
if(TARGET install_tests)
  add_dependencies(install_tests ${zeva_programs} ${zeva_libraries})
  add_dependencies(install_gui_tests ${zeva_programs} ${zeva_libraries})
endif()
