# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 Ovra admin usbip developers
# Runs lupdate on copies of the catalogues and fails when the sources hold a
# text that a catalogue lacks (it would be shown untranslated).
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
string(REPLACE "|" ";" SOURCES "${SOURCES}")
string(REPLACE "|" ";" TS_FILES "${TS_FILES}")
foreach(ts ${TS_FILES})
    get_filename_component(name ${ts} NAME)
    configure_file(${ts} ${WORK_DIR}/${name} COPYONLY)
    execute_process(COMMAND ${LUPDATE} ${LUPDATE_OPTIONS} -no-obsolete -locations none ${SOURCES}
        -ts ${WORK_DIR}/${name}
        RESULT_VARIABLE result OUTPUT_QUIET)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "lupdate failed on ${name}")
    endif()
    file(READ ${WORK_DIR}/${name} content)
    string(REGEX MATCHALL "<source>[^<]*</source>[ \n\r\t]*<translation type=\"unfinished\"" missing "${content}")
    list(LENGTH missing count)
    if(count GREATER 0)
        string(REPLACE "<translation type=\"unfinished\"" "" missing "${missing}")
        message(FATAL_ERROR "${name} lacks ${count} texts of the sources: ${missing}")
    endif()
    message(STATUS "${name}: every text of the sources is translated")
endforeach()
