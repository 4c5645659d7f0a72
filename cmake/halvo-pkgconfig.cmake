# halvo_install_pc(TEMPLATE NAME): writes NAME.pc from TEMPLATE and installs
# it.  Its prefix is found from the file's own place (${pcfiledir}), so an
# installed tree is right wherever `cmake --install --prefix` puts it.
# The template uses @HALVO_PC_PREFIX@, @HALVO_PC_LIBDIR@ and
# @HALVO_PC_INCLUDEDIR@ (the two below ${prefix}).
function(halvo_install_pc template name)
  set(pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    # Fixed places: nothing to relocate.
    set(HALVO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    file(RELATIVE_PATH HALVO_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
    file(RELATIVE_PATH HALVO_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
  else()
    # One ".." per level of lib/<arch>/pkgconfig.
    file(RELATIVE_PATH up /${pcdir} /)
    string(REGEX REPLACE "/$" "" up "${up}")
    set(HALVO_PC_PREFIX "\${pcfiledir}/${up}")
    set(HALVO_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
    set(HALVO_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  endif()
  configure_file(${template} ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc DESTINATION ${pcdir})
endfunction()
