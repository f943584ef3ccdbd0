# Read by cpack for each generator it runs. Without dpkg-shlibdeps (Debian's dpkg-dev) and file,
# CPack's Debian generator quietly writes a package with no Depends field: it installs on a
# machine without Qt and then cannot start. Stop with the package to install instead.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
    find_program(FRONTPANEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
    find_program(FRONTPANEL_FILE file)
    if(NOT FRONTPANEL_DPKG_SHLIBDEPS OR NOT FRONTPANEL_FILE)
        message(FATAL_ERROR "The Debian package needs dpkg-shlibdeps and file to fill in its "
                            "Depends field: install them with 'bash scripts/deps.sh package' "
                            "(Debian packages dpkg-dev and file).")
    endif()
endif()
