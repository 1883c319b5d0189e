# qv_install_manpage(PAGE TARGET COMPONENT): installs the manual page PAGE, which the build makes
# (TARGET's dependency), compressed as Debian keeps them.
function(qv_install_manpage page target component)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -9nkf ${page}
    DEPENDS ${page}
    VERBATIM)
  get_filename_component(name ${page} NAME)
  add_custom_target(${name}-gz ALL DEPENDS ${page}.gz)
  add_dependencies(${name}-gz ${target})
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# help2man, which makes a manual page from a program's --help. A ThreadSanitizer build leaves
# the pages out: its programs only run under setarch -R.
option(QV_MANPAGE "Make and install the manual pages of qvsms and qvmodemsim" ON)
find_program(HELP2MAN help2man)
if(QV_MANPAGE AND NOT HELP2MAN)
  message(WARNING "help2man not found: no manual pages for qvsms and qvmodemsim (scripts/setup-debian.sh installs it)")
endif()

# qv_help2man(PROGRAM DESCRIPTION [HELP2MAN_OPTION...]): the manual page of the program target
# PROGRAM of this folder, made by help2man from its own --help with PROGRAM.h2m of this folder
# included, installed with the tools.
function(qv_help2man program description)
  if(NOT (QV_MANPAGE AND HELP2MAN))
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1)
  set(include ${CMAKE_CURRENT_SOURCE_DIR}/${program}.h2m)
  add_custom_command(OUTPUT ${page}
    COMMAND ${HELP2MAN} --no-info --section=1 ${ARGN} "--name=${description}"
            --include=${include} --output=${page} $<TARGET_FILE:${program}>
    DEPENDS ${program} ${include}
    COMMENT "Making the ${program} manual page"
    VERBATIM)
  add_custom_target(${program}-man ALL DEPENDS ${page})
  qv_install_manpage(${page} ${program}-man tools)
endfunction()
