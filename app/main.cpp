// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "startup.h"

int main(int argc, char **argv)
{
    return runApplication(argc, argv);
}
