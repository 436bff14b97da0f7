# What `cmake --install` puts where: programs in bin/, the platform library,
# the decoder libraries and the device plugin in lib/ (the programs find them
# through their RPATH), documentation, and the unit, bus policy and user
# files a head-unit image needs.
include(GNUInstallDirs)

foreach(program dmbtpegd dmbtpeg-navmon dmbtpeg-window dmbtpeg-mkbroadcast dmbtpeg-device)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
foreach(library platform Tdcdec Tpegdec_tdc tdmbdevices)
    if(TARGET ${library})
        install(TARGETS ${library} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
endforeach()

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/dmbtpegd.service DESTINATION lib/systemd/system)
install(FILES packaging/dmbtpeg-bus.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d)
install(FILES packaging/sysusers-dmbtpeg.conf DESTINATION lib/sysusers.d RENAME dmbtpeg.conf)
