// The settings that switch stores and channels: the checks of the JSON export
// and packet dump values and of the endpoints, shared by the dialogs and the
// configuration loader, without GTK.
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

// What the dialogs' OK does: the entries' texts become the try values (text
// longer than its field is refused with that field's message), then the
// validator runs with the window's message box. 0 accepted, -1 refused.
int exportOffer(const char* path, const char* space, const char* remote);
int dumpOffer(const char* path, const char* space, const char* remote, const char* trun);

// The endpoint dialog: adds the endpoint of addrText ("host", "host:port",
// "net/bits" or "low-high") with protocol protoIdx and a fresh business id,
// or deletes row (0-based). Saved when done; 0, or -1 after the message.
int endpointAdd(const char* addrText, int protoIdx);
int endpointDelete(int row);

// Reads the configuration file and applies it: the remembered card is
// searched, the stores and channels pass their validators, the monitoring
// center is taken up; then the file is rewritten. 0, or -1 when it cannot be
// opened.
int loadConf();
