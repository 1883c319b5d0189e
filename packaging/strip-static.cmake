# Run by CPack before it makes the packages: the static libraries lose their debugging
# information, as the shared ones and the programs do (CPACK_STRIP_FILES).
file(GLOB_RECURSE archives "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.a")
foreach(archive IN LISTS archives)
  execute_process(COMMAND strip --strip-debug --enable-deterministic-archives ${archive}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
