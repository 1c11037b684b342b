# SPDX-License-Identifier: GPL-3.0-or-later
# What "cmake --install" (and "make install") lays out below the prefix:
#   bin/qmere, bin/qmere-cli
#   lib/qmere/libqmere-banner.so      found by qmere through its RUNPATH $ORIGIN/../lib/qmere
#   lib/qmere/libqmere-pictures.so    the picture module, loaded on the first thumbnail
#   share/qmere/                      help page, tips, pictures (resourceDirectory() finds
#                                     ../share/qmere beside bin); systemd/ user units, not enabled
#   share/applications, share/icons/hicolor, share/metainfo, share/man/man1,
#   share/bash-completion/completions, share/doc/qmere/LICENSE
# Nothing below the prefix is written at run time: state goes to the XDG folders. The layout
# is fixed relative to bin (not GNUInstallDirs' lib/<multiarch>), since the RUNPATH and
# resourceDirectory() rely on it.
set(QM_APP_ID com.corvane.qmere)
set(QM_DIST ${CMAKE_SOURCE_DIR}/dist)

# A file that names an installed program by its full path is made from its template when
# installing, when the prefix given to "cmake --install --prefix" is known. It is written
# straight to its place, so that installing never writes into the build folder.
function(qm_install_configured template destination)
    get_filename_component(name ${template} NAME)
    string(REGEX REPLACE "\\.in$" "" name ${name})
    install(CODE "
        get_filename_component(prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
        set(QM_BINDIR \"\${prefix}/bin\")
        set(out \"\$ENV{DESTDIR}\${prefix}/${destination}/${name}\")
        message(STATUS \"Installing: \${out}\")
        configure_file(\"${template}\" \"\${out}\" @ONLY)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${out}\")")
endfunction()

install(TARGETS qmere-cli RUNTIME DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION share/doc/qmere)
install(TARGETS qmere-pictures LIBRARY DESTINATION lib/qmere)
install(FILES ${QM_DIST}/man/qmere-cli.1 DESTINATION share/man/man1)
install(FILES ${QM_DIST}/bash-completion/qmere-cli DESTINATION share/bash-completion/completions)
qm_install_configured(${QM_DIST}/systemd/qmere-fetch.service.in share/qmere/systemd)
install(FILES ${QM_DIST}/systemd/qmere-fetch.timer DESTINATION share/qmere/systemd)

if(TARGET qmere)
    install(TARGETS qmere RUNTIME DESTINATION bin)
    install(TARGETS qmere-banner LIBRARY DESTINATION lib/qmere)
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/ DESTINATION share/qmere)
    qm_install_configured(${QM_DIST}/applications/${QM_APP_ID}.desktop.in share/applications)
    install(FILES ${QM_DIST}/metainfo/${QM_APP_ID}.metainfo.xml DESTINATION share/metainfo)
    install(FILES ${QM_DIST}/man/qmere.1 DESTINATION share/man/man1)
    install(FILES ${QM_DIST}/icons/${QM_APP_ID}.svg DESTINATION share/icons/hicolor/scalable/apps)
    foreach(size 16 22 24 32 48 64 128 256)
        install(FILES ${QM_DIST}/icons/${size}x${size}/${QM_APP_ID}.png
                DESTINATION share/icons/hicolor/${size}x${size}/apps)
    endforeach()
endif()

# The install test: an install into a throw-away folder, run from there read-only, with the
# desktop entry, metainfo, man pages, completion and units checked by their own tools.
if(QM_TESTS)
    add_test(NAME install COMMAND ${CMAKE_SOURCE_DIR}/tests/install/install_test.sh
                                  ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
    set_tests_properties(install PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
