# An installed tree finds its own libraries from where it lies, wherever
# --prefix puts it: libraries beside themselves, tools through
# HALVO_TOOLS_RPATH.  In the system's library directories (a distribution's
# package) the loader finds them anyway, so they get no search path.
set(HALVO_TOOLS_RPATH "")
set(halvo_system_libdirs ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES}
    ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
if(NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST halvo_system_libdirs)
  file(RELATIVE_PATH halvo_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(CMAKE_INSTALL_RPATH "$ORIGIN")
  set(HALVO_TOOLS_RPATH "$ORIGIN/${halvo_bin_to_lib}")
endif()
