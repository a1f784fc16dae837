// Start-up shared by the desktop program and the headless probe.
#pragma once

struct StartOptionsT {
    const char* homePath = nullptr;       // the program's folder; nullptr: Wirelane in the temporary directory
    const char* confPath = nullptr;       // nullptr: Wirelane.conf in the program's folder
    const char* interfaceName = nullptr;  // capture from this device, not the remembered card
    bool offline = false;                 // a capture file, already opened, is the source
    void (*configure)() = nullptr;        // applies settings where the configuration file is read
    bool firstStart = false;              // a configuration without card and endpoints gets the default route's
    const char* clickhouseUrl = nullptr;  // records into ClickHouse here, whatever the configuration says
};


// The program's folder (home, or nullptr for the temporary one) and its log.
int initGlobalValue(const char* home);
// Everything from clearing the global records to starting the worker threads.
// 0, or -1 after logging why.
int startUp(const StartOptionsT& options);
