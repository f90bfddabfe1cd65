// Identifiers shared by the resource script and the code that reads it.
#pragma once

#define IDI_APP_ICON 100
// Keep in step with setup/messages.h.
#define IDS_HELP_TEXT_ID 2005
#define IDS_PRODUCT_NAME_ID 51001
// The program's own version: in its version record until a bundle carries the
// vendor's there instead, and named by every setup run's log.
#define SETUP_VERSION_NUMBERS 1,0,0,0
#define SETUP_VERSION_TEXT "1.0.0.0"
