# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 Ovra admin usbip developers
# Fails when the catalogue TS_FILE has entries that are not translated yet.
file(READ ${TS_FILE} content)
string(REGEX MATCHALL "type=\"unfinished\"" unfinished "${content}")
list(LENGTH unfinished count)
if(count GREATER 0)
    message(FATAL_ERROR "${TS_FILE} has ${count} unfinished entries; translate them before building")
endif()
