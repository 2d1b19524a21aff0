# Installation (`cmake --install <build> [--prefix P]`, DESTDIR honoured):
#   bin/                    the programs (they find the libraries through RPATH $ORIGIN/../lib)
#   lib/                    the shared libraries, and the run report's DTD and style sheet,
#                           which the scanner library looks for in its own folder
#   lib/systemd/user/       brokla.service, naming the installed brokla
#   share/zevazodizo/       the services entries and the region files that each user's
#                           first run (zevazodizo-setup) registers and copies
# The simulators are test and demo equipment: only `--component simulators` installs them.
# The build tree gets the same files where its programs look for them, so that programs
# run from a build find them too.

set(ZEVA_SHARED_FILES ${PROJECT_SOURCE_DIR}/dist/services ${PROJECT_SOURCE_DIR}/dist/ChipRegions.ini
                      ${PROJECT_SOURCE_DIR}/dist/RegionDB.sys)
set(ZEVA_REPORT_FILES ${PROJECT_SOURCE_DIR}/dist/logfile.dtd ${PROJECT_SOURCE_DIR}/dist/logfile.xsl)

# The build tree: share/zevazodizo for zevazodizo-setup run from the build; the region
# files and the report files beside the programs and libraries in bin/.
foreach(f ${ZEVA_SHARED_FILES})
  get_filename_component(name ${f} NAME)
  configure_file(${f} ${CMAKE_BINARY_DIR}/share/zevazodizo/${name} COPYONLY)
endforeach()
foreach(f ${PROJECT_SOURCE_DIR}/dist/ChipRegions.ini ${PROJECT_SOURCE_DIR}/dist/RegionDB.sys ${ZEVA_REPORT_FILES})
  get_filename_component(name ${f} NAME)
  configure_file(${f} ${CMAKE_BINARY_DIR}/bin/${name} COPYONLY)
endforeach()

set(zeva_programs)
foreach(t brokla quillmark scanner-host zevazodizo-setup)
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

install(TARGETS ${zeva_programs} RUNTIME DESTINATION bin)
install(TARGETS ${zeva_libraries} LIBRARY DESTINATION lib)
install(FILES ${ZEVA_REPORT_FILES} DESTINATION lib)
install(FILES ${ZEVA_SHARED_FILES} DESTINATION share/zevazodizo)

# The unit names the installed program, so it is written when the prefix is final (an
# install-time --prefix included), straight to its place: two installs of one build at
# the same time (the tests do that) must not share a file of the build tree.
install(CODE "
  set(ZEVA_BIN_DIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  set(ZEVA_UNIT_DIR \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\")
  set(unit \"\$ENV{DESTDIR}\${ZEVA_UNIT_DIR}/brokla.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/dist/brokla.service.in\" \"\${unit}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${ZEVA_UNIT_DIR}/brokla.service\")
")

foreach(t zevasim okFrontPanel)
  if(TARGET ${t})
    # The board's stand-in goes where the board's library is looked for: beside the program.
    install(TARGETS ${t}
            RUNTIME DESTINATION bin COMPONENT simulators EXCLUDE_FROM_ALL
            LIBRARY DESTINATION bin COMPONENT simulators EXCLUDE_FROM_ALL)
  endif()
endforeach()

# The installation test installs all of it.
if(TARGET install_tests)
  add_dependencies(install_tests ${zeva_programs} ${zeva_libraries})
endif()
