// The installer's messages while the bundle's window stands for its own
// interface: its progress moves the window's bar within the entry's share of
// the chain, its action texts stand above the bar, and its questions (errors,
// warnings, user messages, files in use) are asked through the person room
// with exactly the buttons they carry, the answer going back to the installer.
// Once the person has confirmed Cancel, every message is answered with Cancel:
// the installer rolls the package back and ends with 1602.
#pragma once

#include <windows.h>

// For the next installer call of `entry`, whose share of the chain's bar runs
// from `start` to `end`. False when the installer cannot take the handler.
BOOL InstallerMessagesBegin(LPCWSTR entry, DWORD start, DWORD end);
void InstallerMessagesEnd();
