# Run at install time (see CMakeLists.txt): the units from the prefix being installed to.
# Under /usr they go where this system's systemd looks (its pkg-config says where), under any
# other prefix to PREFIX/lib/systemd, which systemd searches for /usr/local.
set(bindir "${CMAKE_INSTALL_PREFIX}/${VISTREL_BINDIR_NAME}")
set(system_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
set(user_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    find_program(PKG_CONFIG_PROGRAM pkg-config)
    if(PKG_CONFIG_PROGRAM)
        foreach(kind system user)
            execute_process(COMMAND ${PKG_CONFIG_PROGRAM} --variable=systemd${kind}unitdir systemd
                OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
            if(NOT failed AND dir)
                set(${kind}_dir "${dir}")
            endif()
        endforeach()
    endif()
endif()
set(VISTREL_INSTALL_BINDIR "${bindir}")
configure_file("${VISTREL_UNIT_SOURCE}/vistrel.service.in" "${VISTREL_UNIT_WORK}/vistrel.service" @ONLY)
configure_file("${VISTREL_UNIT_SOURCE}/vistrel@.service.in" "${VISTREL_UNIT_WORK}/vistrel@.service" @ONLY)
file(INSTALL "${VISTREL_UNIT_WORK}/vistrel.service" DESTINATION "${user_dir}"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL "${VISTREL_UNIT_WORK}/vistrel@.service" DESTINATION "${system_dir}"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
