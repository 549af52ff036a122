# Installing Vistereo like any program (cmake --install, or the .deb that
# CPack builds): both programs, the desktop entry and its icon in the hicolor
# theme, the manual pages and the bash completion made from the command
# catalogue, the README and the example working directory.
include(GNUInstallDirs)

install(TARGETS vistereo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The compiler's and linker's notes (.comment: which compiler built it) are of
# no use in an installed program; strip removes them as Debian's tools do.
function(vistereo_drop_build_notes program)
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")")
endfunction()
vistereo_drop_build_notes(vistereo-cli)
install(FILES ${VISTEREO_DOCS_DIR}/vistereo-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${VISTEREO_DOCS_DIR}/vistereo-cli.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME vistereo-cli)

if(VISTEREO_BUILD_UI)
  install(TARGETS vistereo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  vistereo_drop_build_notes(vistereo)
  install(FILES ${VISTEREO_DOCS_DIR}/vistereo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/desktop/vistereo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/desktop/vistereo.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size IN LISTS VISTEREO_ICON_SIZES)
    install(FILES ${VISTEREO_ICON_DIR}/${size}x${size}/vistereo.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

set(VISTEREO_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/vistereo)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${VISTEREO_INSTALL_DOCDIR})
# The copyright in Debian's machine-readable form and the changelog, compressed
# as Debian installs changelogs; the changelog's first entry must be this
# version, or the package would claim a history it does not have.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog _vistereo_changelog_top LIMIT_COUNT 1)
if(NOT _vistereo_changelog_top MATCHES "^vistereo \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog starts with '${_vistereo_changelog_top}', not version ${PROJECT_VERSION}")
endif()
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
                   COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${VISTEREO_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vistereo)
# The manual, by task, beside the README that links it.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${VISTEREO_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")
install(FILES ${PROJECT_SOURCE_DIR}/examples/Vistereo.ini DESTINATION ${VISTEREO_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/examples/input/L.jpg ${PROJECT_SOURCE_DIR}/examples/input/R.jpg
        DESTINATION ${VISTEREO_INSTALL_DOCDIR}/examples/input)

# The Debian package: its dependencies are the runtime packages of the
# libraries the programs link (found by dpkg-shlibdeps), plus what is loaded
# at run time rather than linked: Qt's platform plugins.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vistereo)
set(CPACK_PACKAGE_VENDOR "Vistereo")
# Whoever builds the package for a distribution names themselves here.
set(VISTEREO_MAINTAINER "Vistereo developers <vistereo@vistereo.org>" CACHE STRING "The package's Maintainer field")
set(CPACK_PACKAGE_CONTACT "${VISTEREO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "stereo fisheye photographs to side-by-side 180-degree (VR180) images")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vistereo turns a pair of fisheye photographs from the left and right
cameras of a stereo rig into one side-by-side 180-degree equirectangular
image or a VR180 photo, with registered lens models, a zenith correction
and a rotation that lines the right eye up with the left. It has a
desktop program (vistereo) and a command-line tool (vistereo-cli).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# FFmpeg's libraries and OpenCV's image codecs are opened on first use, not
# linked, so dpkg-shlibdeps cannot find them: their packages are named here
# (libavformat59, ..., libopencv-imgcodecs406 on Debian 12).
string(REGEX REPLACE "^libopencv_imgcodecs\\.so\\." "libopencv-imgcodecs" _vistereo_imgcodecs_package
       "${VistereoOpenCV_imgcodecs_SONAME}")
list(JOIN VISTEREO_FFMPEG_PACKAGES ", " _vistereo_loaded_packages)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_vistereo_loaded_packages}, ${_vistereo_imgcodecs_package}")
if(VISTEREO_BUILD_UI)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, hicolor-icon-theme, bash-completion")
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)
