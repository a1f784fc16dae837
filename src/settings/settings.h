// The settings that switch stores and channels: the checks of the JSON export
// and packet dump values and of the endpoints, shared by the dialogs and the
// configuration loader, without GTK.
#pragma once

#include <mutex>

// Reports a settings message: to the handler the desktop program installs
// (a message box titled "Notice") when a window asked, else to the log at
// level 2. Either way it is kept in globalValue.confErrorMsg.
void alertMessage(const char* text, bool win);
void setAlertHandler(void (*handler)(const char* text));

// Why the validators below refused a value.
enum WX_REFUSAL {
    WX_BAD_VALUE = -1,     // malformed: syntax, range, whole hundreds, paths that clash
    WX_NO_NAME = -2,       // the host name does not resolve
    WX_NO_FOLDER = -3,     // the store folder is missing or inaccessible
    WX_WRITE_FAILED = -4,  // a store file cannot be made
    WX_NO_SPACE = -5,      // the store's disk is full
};
// A refusal for a condition of the moment: the same value may apply later.
bool refusedForNow(int rc);
// Held by what changes the stores and channels (the validators, the retries
// of kept values, the monitoring center): one change at a time.
std::recursive_mutex& settingsLock();

// Validate and apply the "try" export or dump values (the dialog copies its
// entries into them first); 0 accepted, else a WX_REFUSAL after the message.
// Without a window (start-up), a part refused for now keeps its saved text in
// the file and is tried again by the retries below, and the other parts are
// still applied; with one, the first refusal ends the check.
int exportAdd(bool win);
int dumpAdd(bool win);

// Tries the values kept at start-up once more; each that applies, or is
// found malformed, is logged, released and saved. The number still kept.
int retryHeldSettings();

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
// center is taken up; then the file is rewritten. Values refused for the
// moment are tried again once a minute, on a thread of their own, until
// they apply. 0, or -1 when it cannot be opened.
int loadConf();

// A first start: with neither a remembered card nor an endpoint, the card of
// the default route is chosen (see chooseFirstCard), each of its addresses
// is monitored as "TCP & UDP", HTTP is recognised, and the file is saved, so
// that a later start finds the choice and the dialogs show it. 1 chosen, 0
// the configuration has a card or an endpoint already, -1 none can be chosen.
int chooseOnFirstStart();
