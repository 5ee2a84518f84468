# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 Ovra admin usbip developers
# cmake -DSOURCE_DIR=<repo> -DVERSION=<program version> -P checkconsistency.cmake
cmake_minimum_required(VERSION 3.16)
set(failures "")

file(READ ${SOURCE_DIR}/data/desktop/ovra-admin-usbip.desktop desktop)
file(READ ${SOURCE_DIR}/data/desktop/org.ovra.admin.usbip.metainfo.xml metainfo)

# Newest release of the metainfo (the first <release> element).
string(REGEX MATCH "<release version=\"([^\"]+)\"" _ "${metainfo}")
set(release "${CMAKE_MATCH_1}")
if(NOT release STREQUAL VERSION)
    list(APPEND failures "metainfo newest release '${release}' is not the program version '${VERSION}'")
endif()

# Debian version: <program version>-<revision>
if(EXISTS ${SOURCE_DIR}/debian/changelog)
    file(STRINGS ${SOURCE_DIR}/debian/changelog first_line LIMIT_COUNT 1)
    string(REGEX MATCH "^[a-z0-9.+-]+ \\(([^)]+)-[0-9]+\\)" _ "${first_line}")
    set(debian_upstream "${CMAKE_MATCH_1}")
    if(NOT debian_upstream STREQUAL VERSION)
        list(APPEND failures "debian/changelog upstream version '${debian_upstream}' is not the program version '${VERSION}'")
    endif()
endif()

string(REGEX MATCH "<launchable type=\"desktop-id\">([^<]+)</launchable>" _ "${metainfo}")
set(launchable "${CMAKE_MATCH_1}")
if(NOT launchable STREQUAL "ovra-admin-usbip.desktop")
    list(APPEND failures "metainfo launchable '${launchable}' is not the desktop entry's file name")
endif()

string(REGEX MATCH "\nIcon=([^\n]*)" _ "${desktop}")
set(icon "${CMAKE_MATCH_1}")
set(icon_files "")
if(icon)
    file(GLOB icon_files ${SOURCE_DIR}/data/icons/hicolor/scalable/*/${icon}.svg)
endif()
if(NOT icon_files)
    list(APPEND failures "desktop entry icon '${icon}' is not one of data/icons/hicolor")
endif()

string(REGEX MATCH "\nExec=([^\n ]*)" _ "${desktop}")
set(exec "${CMAKE_MATCH_1}")
if(NOT exec STREQUAL "ovra-admin-usbip")
    list(APPEND failures "desktop entry runs '${exec}', not the program ovra-admin-usbip")
endif()

# The package build needs exactly what scripts/install-deps installs for
# building: every Build-Depends is installed there, and every development
# package or build tool installed there is a Build-Depends.
if(EXISTS ${SOURCE_DIR}/debian/control AND EXISTS ${SOURCE_DIR}/scripts/install-deps)
    file(READ ${SOURCE_DIR}/scripts/install-deps install_deps)
    string(REGEX REPLACE "#[^\n]*" "" install_deps "${install_deps}")
    # The list, and what it adds where a distribution has it (packages+=).
    string(REGEX MATCHALL "packages\\+?=\\([^)]*\\)" lists "${install_deps}")
    string(REGEX REPLACE "packages\\+?=\\(|\\)|\"[^\"]*\"" " " lists "${lists}")
    string(REGEX MATCHALL "[a-z0-9][a-z0-9.+-]+" installed "${lists}")

    file(READ ${SOURCE_DIR}/debian/control control)
    string(REGEX MATCH "\nBuild-Depends:(([^\n]|\n[ \t])*)" _ "${control}")
    string(REGEX REPLACE "\\([^)]*\\)|\\[[^]]*\\]|<[^>]*>" "" build_depends "${CMAKE_MATCH_1}")
    # One entry per comma; "a | b" is met by either.
    string(REGEX REPLACE "[ \t\n]" "" build_depends "${build_depends}")
    string(REPLACE "," ";" groups "${build_depends}")
    list(FILTER groups EXCLUDE REGEX "^$")
    if(NOT groups)
        list(APPEND failures "debian/control has no Build-Depends")
    endif()

    set(build_depends "")
    foreach(group IN LISTS groups)
        string(REPLACE "|" ";" alternatives "${group}")
        list(APPEND build_depends ${alternatives})
        set(met FALSE)
        foreach(pkg IN LISTS alternatives)
            set(name ${pkg})
            if(pkg STREQUAL "debhelper-compat")
                set(name debhelper)
            endif()
            if(name IN_LIST installed)
                set(met TRUE)
            endif()
        endforeach()
        if(NOT met)
            list(APPEND failures "Build-Depends '${group}' is not installed by scripts/install-deps")
        endif()
    endforeach()
    foreach(pkg IN LISTS installed)
        # dpkg-dev comes with build-essential, which Build-Depends never names
        if(pkg MATCHES "-dev$|-dev-tools$|^cmake$|^extra-cmake-modules$|^pkg-config$"
           AND NOT pkg STREQUAL "dpkg-dev" AND NOT pkg IN_LIST build_depends)
            list(APPEND failures "scripts/install-deps installs '${pkg}' for building, but it is no Build-Depends")
        endif()
    endforeach()
endif()

if(failures)
    foreach(f IN LISTS failures)
        message("FAIL: ${f}")
    endforeach()
    message(FATAL_ERROR "data files disagree")
endif()
message("data files agree (version ${VERSION}, icon ${icon})")
