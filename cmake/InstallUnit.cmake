# Run by `cmake --install` (Install.cmake includes it into the install script): the prefix
# is final only then, an install-time --prefix included.

# systemd takes spaces in a quoted ExecStart, but no program path with quotes, backslashes
# or control characters; such a prefix is refused before anything is installed rather
# than giving a unit that systemd rejects.
function(zeva_check_install_prefix prefix)
  string(ASCII 1 first_control)
  string(ASCII 31 last_control)
  string(ASCII 127 delete)
  if(prefix MATCHES "[\"'\\\\${delete}${first_control}-${last_control}]")
    message(FATAL_ERROR
      "cannot install into the prefix '${prefix}': systemd refuses a program path with a quote, a "
      "backslash or a control character, so the connection manager's unit could not name it; "
      "choose a prefix without them (spaces are fine)")
  endif()
endfunction()

# A path as the shell reads it back: as it is when it holds nothing the shell treats
# specially, else in single quotes.
function(zeva_shell_word path out)
  if(path MATCHES "^[A-Za-z0-9_./,:+=@%-]+$")
    set(${out} "${path}" PARENT_SCOPE)
  else()
    string(REPLACE "'" "'\\''" quoted "${path}")
    set(${out} "'${quoted}'" PARENT_SCOPE)
  endif()
endfunction()

# Writes <prefix>/lib/systemd/user/brokla.service (under DESTDIR) from its template.
function(zeva_install_unit template)
  set(ZEVA_BIN_DIR "${CMAKE_INSTALL_PREFIX}/bin")
  set(ZEVA_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
  # In a unit a quoted word keeps its spaces; "%" starts a specifier unless doubled.
  string(REPLACE "%" "%%" exec_start "${ZEVA_BIN_DIR}/brokla")
  set(ZEVA_EXEC_START "\"${exec_start}\"")
  zeva_shell_word("${ZEVA_BIN_DIR}/zevazodizo-setup" ZEVA_SETUP_COMMAND)
  zeva_shell_word("${ZEVA_UNIT_DIR}/brokla.service" ZEVA_UNIT_ARGUMENT)
  set(unit "$ENV{DESTDIR}${ZEVA_UNIT_DIR}/brokla.service")
  message(STATUS "Installing: ${unit}")
  configure_file("${template}" "${unit}" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${ZEVA_UNIT_DIR}/brokla.service")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()
