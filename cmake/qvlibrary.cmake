# qv_add_shared_library(NAME ...): the installed shared library NAME, made from the objects of
# OBJECTS, beside the static library STATIC made from the same objects: its versions, its export
# names (EXPORT_NAME, and EXPORT_NAME_static for the static one), its public HEADERS under
# include/qv, and the install rules of both into the export set EXPORT (the shared object in
# COMPONENT, the link, headers and static library in DEV_COMPONENT).
function(qv_add_shared_library name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OBJECTS;STATIC;EXPORT;EXPORT_NAME;COMPONENT;DEV_COMPONENT"
                        "HEADERS;LINK")
  add_library(${name} SHARED $<TARGET_OBJECTS:${ARG_OBJECTS}>)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/qv>)
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_link_options(${name} PRIVATE LINKER:--as-needed)
  target_sources(${name} PUBLIC FILE_SET HEADERS BASE_DIRS ${CMAKE_CURRENT_SOURCE_DIR} FILES ${ARG_HEADERS})
  set_target_properties(${name} PROPERTIES
    VERSION ${QV_VERSION} SOVERSION ${QV_SOVERSION} EXPORT_NAME ${ARG_EXPORT_NAME})
  set_target_properties(${ARG_STATIC} PROPERTIES OUTPUT_NAME ${name} EXPORT_NAME ${ARG_EXPORT_NAME}_static)
  install(TARGETS ${name} EXPORT ${ARG_EXPORT}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${ARG_COMPONENT} NAMELINK_COMPONENT ${ARG_DEV_COMPONENT}
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qv COMPONENT ${ARG_DEV_COMPONENT})
  install(TARGETS ${ARG_STATIC} EXPORT ${ARG_EXPORT}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${ARG_DEV_COMPONENT})
endfunction()
