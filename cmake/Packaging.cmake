# What an install holds besides the programs, and the package cpack makes of it: one set of
# names, with the version of project() (the only place it is written), then each platform's
# own generator. Linux gets a Debian package (make deb); a Windows installer goes beside it
# here, reading the same names and the same install rules.

set(KESTREL_PACKAGE_MAINTAINER "Kestrel maintainers <maintainers@kestrel.example.org>"
    CACHE STRING "The name and address a package gives as its maintainer")

set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KESTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor of sharp price moves on Japanese stock exchanges")
# Lines of at most 80 characters, as Debian's tools show them on a terminal.
set(CPACK_PACKAGE_DESCRIPTION
    "Kestrel watches the issues of a watch list for day traders on the Japanese\n\
stock exchanges. For every issue it keeps the last 8,000 quote points, spots\n\
sharp rises and falls within a short look-back window (2.0 % in 2 minutes by\n\
default) and ranks them newest first, keeping both ranking lists across a\n\
restart on the same day. A debug mode replays recorded quotes; a demo folder\n\
comes with the package.\n\
.\n\
Besides the monitor (kestrel): kestrel-feed, the local quote server the\n\
monitor's live mode reads, which also records every day it serves;\n\
kestrel-backtest, which replays recorded days through the monitor's rules and\n\
studies alert settings; kestrel-watch, the monitor without windows.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Kestrel)
# Release builds carry no debug information, but the flags a package is built with may add it.
set(CPACK_STRIP_FILES ON)

# The demo working folder, for every platform: the first start copies it where the trader's
# files live. Its log/ folder is made by whatever copies it.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/demo/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel/demo
        PATTERN .keep EXCLUDE)

if(UNIX AND NOT APPLE)
  set(KESTREL_PKG_DIR ${PROJECT_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${KESTREL_PKG_DIR})

  # The desktop menu starts the monitor through a script that gives it a working folder.
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/linux/kestrel-desktop
          DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kestrel)
  set(KESTREL_DESKTOP_EXEC ${CMAKE_INSTALL_FULL_LIBEXECDIR}/kestrel/kestrel-desktop)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/kestrel.desktop.in
                 ${KESTREL_PKG_DIR}/kestrel.desktop @ONLY)
  install(FILES ${KESTREL_PKG_DIR}/kestrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/assets/kestrel.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)

  # The package's copyright and changelog where Debian keeps them, compressed as its tools do
  # (-9, and -n: no name or time stamp inside, so a rebuild gives the same bytes). The changelog
  # has one entry, this version's; its date honours SOURCE_DATE_EPOCH.
  string(TIMESTAMP KESTREL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
                 ${KESTREL_PKG_DIR}/changelog.txt @ONLY)
  set(KESTREL_PKG_FILES ${KESTREL_PKG_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${KESTREL_PKG_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${KESTREL_PKG_DIR}/changelog.txt ${KESTREL_PKG_DIR}/changelog
    COMMAND gzip -9nf ${KESTREL_PKG_DIR}/changelog
    DEPENDS ${KESTREL_PKG_DIR}/changelog.txt
    VERBATIM)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${KESTREL_PKG_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrel)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kestrel)

  # Man pages made from each program's --help, so they never say other than the program does.
  # They run the programs, so not when cross-building; in a UTF-8 locale, so the file names of
  # the working folder come through.
  if(KESTREL_MANPAGES AND NOT CMAKE_CROSSCOMPILING)
    find_program(KESTREL_HELP2MAN help2man REQUIRED)
    set(KESTREL_MAN_NAME_kestrel "monitor of sharp rises and falls on Japanese stock exchanges")
    set(KESTREL_MAN_NAME_kestrel-feed "local quote server of the Kestrel monitor")
    set(KESTREL_MAN_NAME_kestrel-backtest "replay recorded days through the Kestrel monitor's rules")
    set(KESTREL_MAN_NAME_kestrel-watch "the Kestrel monitor without windows")
    foreach(prog kestrel kestrel-feed kestrel-backtest kestrel-watch)
      if(NOT TARGET ${prog})
        continue()
      endif()
      set(page ${KESTREL_PKG_DIR}/${prog}.1)
      add_custom_command(OUTPUT ${page}.gz
        COMMAND ${KESTREL_HELP2MAN} --locale=C.UTF-8 --no-info --no-discard-stderr --section=1
                --version-string=${PROJECT_VERSION} "--name=${KESTREL_MAN_NAME_${prog}}"
                --output=${page} $<TARGET_FILE:${prog}>
        COMMAND gzip -9nf ${page}
        DEPENDS ${prog}
        VERBATIM)
      list(APPEND KESTREL_PKG_FILES ${page}.gz)
      install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
    # The RSS link is kestrel-feed; so is its page.
    if(TARGET kestrel-feed)
      add_custom_command(OUTPUT ${KESTREL_PKG_DIR}/RSS.1.gz
        COMMAND ${CMAKE_COMMAND} -E create_symlink kestrel-feed.1.gz ${KESTREL_PKG_DIR}/RSS.1.gz
        VERBATIM)
      list(APPEND KESTREL_PKG_FILES ${KESTREL_PKG_DIR}/RSS.1.gz)
      install(FILES ${KESTREL_PKG_DIR}/RSS.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endif()
  add_custom_target(kestrel_package_files ALL DEPENDS ${KESTREL_PKG_FILES})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  # kestrel_<version>_amd64.deb
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the programs link (Qt, libjpeg, Ruby...) are found by dpkg-shlibdeps. The
  # Qt platform and media plugins come with the libraries that load them. Only the font is no
  # library: the windows ask for a Japanese Gothic, and any of these has one.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic | fonts-noto-cjk")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

if(WIN32)
  # The Windows installer (make windows-installer): CPack's NSIS generator, run on Linux with
  # Debian's makensis. Kestrel-<version>-Setup.exe installs the programs with the Qt and MinGW
  # DLLs that scripts/deploy-windows-gui.sh put beside them, the demo folder under
  # share\kestrel\demo, a Start-menu entry and an uninstaller listed under Add/Remove Programs.
  # The Start-menu entry starts the monitor with --home: the first start copies the demo into
  # the trader's documents, and nothing the installer, an upgrade or the uninstaller does reaches
  # that folder.
  foreach(dir src/kestrel tools/kestrel-feed)
    install(DIRECTORY ${PROJECT_BINARY_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_BINDIR}
            FILES_MATCHING PATTERN "*.dll" PATTERN CMakeFiles EXCLUDE)
  endforeach()
  set(CPACK_GENERATOR NSIS)
  # The values below reach makensis as written here (backslashes are Windows paths).
  set(CPACK_VERBATIM_VARIABLES ON)
  set(CPACK_PACKAGE_FILE_NAME "Kestrel-${PROJECT_VERSION}-Setup")
  set(CPACK_NSIS_PACKAGE_NAME "Kestrel")
  set(CPACK_NSIS_DISPLAY_NAME "Kestrel ${PROJECT_VERSION}")
  # One key for every version, so an upgrade finds and replaces the installed one.
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Kestrel")
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\kestrel.exe")
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY bin)
  set(CPACK_NSIS_MODIFY_PATH OFF)
  # A 64-bit installer for a 64-bit program: it refuses a 32-bit Windows the program could not
  # run on, installs into the 64-bit Program Files and registers in the 64-bit registry view.
  # (makensis takes it as a script command: CPack's own option for makensis arguments splits
  # "-XTarget amd64-unicode" at the space.)
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_CREATE_ICONS_EXTRA
      "CreateShortCut '$SMPROGRAMS\\$STARTMENU_FOLDER\\Kestrel.lnk' '$INSTDIR\\bin\\kestrel.exe' '--home'")
  set(CPACK_NSIS_DELETE_ICONS_EXTRA "Delete '$SMPROGRAMS\\$MUI_TEMP\\Kestrel.lnk'")
  set(CPACK_NSIS_URL_INFO_ABOUT "https://kestrel.example.org/")
endif()

include(CPack)
