# What `cmake --install` puts where: programs in bin/, the platform library,
# the decoder libraries and the device plugin in a private library folder
# (the programs find it through their RUNPATH, see the top CMakeLists.txt),
# documentation, and the unit, bus policy, interface descriptions and user
# and folder entries a head-unit image needs.
#
# systemd reads units, sysusers.d and tmpfiles.d below /usr/local/lib as well
# as /usr/lib, so those follow the prefix. The system bus reads its policy
# from /usr/share/dbus-1/system.d (and /etc/dbus-1/system.d) only: with
# another prefix, copy the policy there, or set DMBTPEG_INSTALL_DBUS_SYSTEM_DIR
# to /usr/share/dbus-1/system.d.

foreach(program dmbtpegd dmbtpeg-navmon dmbtpeg-window dmbtpeg-mkbroadcast dmbtpeg-device)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
# The platform library needs nothing of the project; the others need the
# platform library beside them.
set_target_properties(platform PROPERTIES INSTALL_RPATH "")
foreach(library platform Tdcdec Tpegdec_tdc tdmbdevices tdmbsdr)
    if(TARGET ${library})
        if(NOT library STREQUAL "platform")
            set_target_properties(${library} PROPERTIES INSTALL_RPATH "\$ORIGIN")
        endif()
        install(TARGETS ${library} LIBRARY DESTINATION ${DMBTPEG_INSTALL_PKGLIBDIR})
    endif()
endforeach()

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(DMBTPEG_INSTALL_DBUS_SYSTEM_DIR "${CMAKE_INSTALL_DATADIR}/dbus-1/system.d" CACHE STRING
    "Folder of the system bus policy, relative to the prefix or absolute")
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND NOT IS_ABSOLUTE "${DMBTPEG_INSTALL_DBUS_SYSTEM_DIR}")
    message(STATUS "The system bus reads no policy below ${CMAKE_INSTALL_PREFIX}: copy "
                   "dmbtpeg-bus.conf to /usr/share/dbus-1/system.d after installing")
endif()

# The unit names the installed service and documentation.
configure_file(${PROJECT_SOURCE_DIR}/packaging/dmbtpegd.service.in
               ${PROJECT_BINARY_DIR}/packaging/dmbtpegd.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/dmbtpegd.service DESTINATION lib/systemd/system)
install(FILES packaging/dmbtpeg-bus.conf DESTINATION ${DMBTPEG_INSTALL_DBUS_SYSTEM_DIR})
install(FILES packaging/interfaces/org.dmbtpeg.Window1.xml packaging/interfaces/org.dmbtpeg.Windows1.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces)
install(FILES packaging/sysusers-dmbtpeg.conf DESTINATION lib/sysusers.d RENAME dmbtpeg.conf)
install(FILES packaging/tmpfiles-dmbtpeg.conf DESTINATION lib/tmpfiles.d RENAME dmbtpeg.conf)
