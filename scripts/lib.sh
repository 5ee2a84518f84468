# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 Ovra admin usbip developers
# Shared by the scripts in this folder (sourced, not run).
# shellcheck shell=bash

# give_back DIR [KEEP...]: run through sudo, hands what root made inside DIR (a
# build folder) back to the user who called sudo, so that later commands work
# without sudo. KEEP are folders inside DIR that stay as they are (a cache of
# root-owned files shared with other build folders).
give_back() {
    local dir=$1 keep prune=()
    shift
    if [ "$(id -u)" -ne 0 ] || [ -z "${SUDO_USER:-}" ] || [ "$SUDO_USER" = root ] \
        || [ ! -d "$dir" ]; then
        return 0
    fi
    dir=$(cd "$dir" && pwd -P)
    for keep in "$@"; do
        prune+=(-path "$(realpath -m "$keep")" -prune -o)
    done
    find "$dir" "${prune[@]}" -user 0 -exec chown -h "$SUDO_USER": {} + 2>/dev/null || true
}

# give_back_on_exit DIR [KEEP...]: give_back DIR, whatever the outcome (and
# wherever the script has gone meanwhile).
give_back_on_exit() {
    local path
    give_back_args=()
    for path in "$@"; do
        give_back_args+=("$(realpath -m "$path")")
    done
    trap 'give_back "${give_back_args[@]}"' EXIT
}

# print_help FILE: the comment at the top of FILE, which says how to use it,
# without the shebang and the licence lines.
print_help() {
    awk 'NR == 1 && /^#!/ { next }
         !/^#/ { exit }
         /SPDX-/ { next }
         { sub(/^# ?/, ""); if (started || $0 != "") { started = 1; print } }' "$1"
}
