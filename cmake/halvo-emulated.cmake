# halvo_runnable(TARGET VAR): sets VAR to a path that other programs can
# start TARGET by, and VAR_DIR to its directory.  Natively that is the
# program itself.  In a cross build the kernel cannot start it (no binfmt
# handler in a container), so VAR names a script in emulated/ that runs it
# through the emulator (qemu user mode, cmake/armhf-toolchain.cmake); the
# script keeps the process id (exec) and the arguments.  The program sees
# the script as its argv[0], under CTest too, so it can start itself again.
# Call it after the target's OUTPUT_NAME is set.
function(halvo_runnable target var)
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
      set(name ${target})
    endif()
    set(script ${CMAKE_BINARY_DIR}/emulated/${name})
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\" \"" emulator)
    get_property(done GLOBAL PROPERTY HALVO_RUNNABLE_${target})
    if(NOT done)
      file(GENERATE OUTPUT ${script}
           CONTENT "#!/bin/sh\nexec \"${emulator}\" -0 \"$0\" \"$<TARGET_FILE:${target}>\" \"$@\"\n"
           FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
      set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR} -0 ${script})
      set_property(GLOBAL PROPERTY HALVO_RUNNABLE_${target} TRUE)
    endif()
    set(${var} ${script} PARENT_SCOPE)
    set(${var}_DIR ${CMAKE_BINARY_DIR}/emulated PARENT_SCOPE)
  else()
    set(${var} $<TARGET_FILE:${target}> PARENT_SCOPE)
    set(${var}_DIR $<TARGET_FILE_DIR:${target}> PARENT_SCOPE)
  endif()
endfunction()
