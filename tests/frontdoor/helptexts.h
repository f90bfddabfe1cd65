// The help texts setup.exe must carry, as the user sees them in the box.
#pragma once

#include <windows.h>

struct HelpLanguage {
    const char* code;        // the --language argument: de, en, es, fr, it, ja
    LANGID language;         // the string table that carries it for its country
    const wchar_t* text;
};

extern const HelpLanguage HELP_LANGUAGES[6];

const HelpLanguage* FindHelpLanguage(const char* code);
