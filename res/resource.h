// Identifiers shared by the resource script and the code that reads it.
#pragma once

#define IDI_APP_ICON 100
// Keep in step with setup/messages.h.
#define IDS_HELP_TEXT_ID 2005
#define IDS_PRODUCT_NAME_ID 51001
