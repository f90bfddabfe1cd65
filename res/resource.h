// Identifiers shared by the resource script and the code that reads it.
#pragma once

#define IDI_APP_ICON 100
// String-table identifiers, read by setup/messages.cpp. The help text, the
// /log refusal and the failed prerequisite share a block, which a bundle keeps from its stub; the product
// name's block is the bundle's own (tools/setuppack).
#define IDS_HELP_TEXT_ID 2005
#define IDS_LOG_REFUSED_ID 2006
#define IDS_PROGRAM_FAILED_ID 2007
#define IDS_PRODUCT_NAME_ID 51001
// The program's own version: in its version record until a bundle carries the
// vendor's there instead, and named by every setup run's log.
#define SETUP_VERSION_NUMBERS 1,0,0,0
#define SETUP_VERSION_TEXT "1.0.0.0"
// The bundle window's texts (setup/window), a block of their own.
#define IDS_WINDOW_INSTALL 2016
#define IDS_WINDOW_CANCEL 2017
#define IDS_WINDOW_CLOSE 2018
#define IDS_WINDOW_ACCEPT 2019
#define IDS_WINDOW_INSTALL_NOTE 2020
#define IDS_WINDOW_CONFIRM_CANCEL 2021
#define IDS_WINDOW_DONE 2022
#define IDS_WINDOW_RESTART_NEEDED 2023
#define IDS_WINDOW_RESTART_NOW 2024
#define IDS_WINDOW_RESTART_LATER 2025
#define IDS_WINDOW_FAILED 2026
#define IDS_WINDOW_OPEN_LOG 2027
#define IDS_WINDOW_CANCELLED 2028
#define IDS_WINDOW_REPAIR 2029
#define IDS_WINDOW_UNINSTALL 2030
#define IDS_WINDOW_UPGRADES 2031
#define IDS_WINDOW_MAINTENANCE_NOTE 2032
#define IDS_WINDOW_NEWER_NOTE 2033
