# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 Ovra admin usbip developers
#
# The layers of the source tree, checked at configure time: every target of a
# production folder may link, of our own targets, only those of its own
# folder and of the folders listed for it below, and may take headers only
# from those folders too. Test code (tests/) and the
# sandbox (sandbox/) are never on such a list, nor is app/. The README's
# Architecture section shows the same table.
#
#   folder              may link
set(ovra_layers
    "net                :"
    "usbip              :"
    "integration        :"
    "manager            :"
    "data/icons         :"
    "record             : net usbip"
    "local              : record usbip manager"
    "remote             : record usbip manager net integration"
    "app                : local remote record usbip manager net integration data/icons"
    "managerd           : usbip manager net"
)

function(ovra_collect_targets dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub ${subdirs})
        ovra_collect_targets(${sub} sub_targets)
        list(APPEND targets ${sub_targets})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(ovra_target_folder target out)
    get_target_property(dir ${target} SOURCE_DIR)
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${dir})
    set(${out} ${folder} PARENT_SCOPE)
endfunction()

# The ruled folder that holds `path` (relative to the source tree): the
# longest rule that is a prefix of it.
function(ovra_ruled_folder path out)
    set(found "")
    foreach(rule ${ovra_layers})
        string(REGEX MATCH "^([^ :]+)" folder "${rule}")
        if((path STREQUAL folder OR path MATCHES "^${folder}/")
           AND NOT found MATCHES "^${folder}/")
            string(LENGTH "${found}" found_length)
            string(LENGTH "${folder}" folder_length)
            if(folder_length GREATER found_length)
                set(found ${folder})
            endif()
        endif()
    endforeach()
    set(${out} ${found} PARENT_SCOPE)
endfunction()

function(ovra_check_layers)
    foreach(rule ${ovra_layers})
        string(REGEX MATCH "^([^ :]+) *:(.*)$" _ "${rule}")
        string(STRIP "${CMAKE_MATCH_2}" allowed)
        string(REPLACE " " ";" allowed "${allowed}")
        list(FILTER allowed EXCLUDE REGEX "^$")
        set("allowed_${CMAKE_MATCH_1}" ${allowed})
        set("ruled_${CMAKE_MATCH_1}" TRUE)
    endforeach()

    ovra_collect_targets(${PROJECT_SOURCE_DIR} ours)
    set(violations "")
    foreach(target ${ours})
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "UTILITY")
            continue()
        endif()
        ovra_target_folder(${target} folder)
        if(folder MATCHES "^(tests|sandbox)(/|$)")
            continue()
        endif()
        if(NOT DEFINED "ruled_${folder}")
            string(APPEND violations "\n  ${target} (${folder}/): the folder has no layer rule")
            continue()
        endif()
        # A header-only dependency is still one.
        get_target_property(includes ${target} INCLUDE_DIRECTORIES)
        foreach(include ${includes})
            string(REGEX REPLACE "^\\$<BUILD_INTERFACE:(.*)>$" "\\1" include "${include}")
            if(NOT include MATCHES "^${PROJECT_SOURCE_DIR}/")
                continue()
            endif()
            file(RELATIVE_PATH included ${PROJECT_SOURCE_DIR} ${include})
            ovra_ruled_folder(${included} included_folder)
            if(NOT included_folder OR included_folder STREQUAL folder
               OR included_folder IN_LIST "allowed_${folder}")
                continue()
            endif()
            string(APPEND violations
                "\n  ${target} (${folder}/) takes headers from ${included_folder}/")
        endforeach()

        get_target_property(links ${target} LINK_LIBRARIES)
        get_target_property(interface_links ${target} INTERFACE_LINK_LIBRARIES)
        foreach(link ${links} ${interface_links})
            # Generator expressions ($<LINK_ONLY:x>, conditions) may name
            # targets; none of ours has a colon in its name.
            string(REGEX MATCHALL "[A-Za-z0-9_.+-]+" names "${link}")
            foreach(name ${names})
                if(NOT name IN_LIST ours)
                    continue()
                endif()
                ovra_target_folder(${name} linked_folder)
                if(linked_folder STREQUAL folder OR linked_folder IN_LIST "allowed_${folder}")
                    continue()
                endif()
                string(APPEND violations
                    "\n  ${target} (${folder}/) links ${name} (${linked_folder}/)")
            endforeach()
        endforeach()
    endforeach()
    if(violations)
        message(FATAL_ERROR "Layer rules broken (see cmake/OvraLayers.cmake):${violations}")
    endif()
endfunction()
