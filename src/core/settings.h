// The checks of the JSON export and packet dump settings, shared by the
// dialogs and the configuration loader, without GTK.
#pragma once

// Reports a settings message: to the handler the desktop program installs
// (a message box titled "Notice") when a window asked, else to the log at
// level 2. Either way it is kept in globalValue.confErrorMsg.
void alertMessage(const char* text, bool win);
void setAlertHandler(void (*handler)(const char* text));

// Validate and apply the "try" export or dump values (the dialog copies its
// entries into them first); 0 accepted, -1 refused with a message.
int exportAdd(bool win);
int dumpAdd(bool win);
