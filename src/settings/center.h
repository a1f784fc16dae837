// Registration with a central monitoring center.
#pragma once

// Takes up the center in kestrelStrRemotePath: points the JSON channel at its
// UDP port 9015 and registers to get a device id (at start-up, without a
// window, a saved device id is reused instead). 0, or after reporting why
// through alertMessage WX_NO_NAME (the center's name does not resolve) or -1.
int kestrelConfirm(bool win);
// Registers with the center at host (TCP port 80); 0 and did set, or -1 with
// a message in errbuf (at least 4096 bytes).
int chkKestrelNicDid(const char* host, char* errbuf);
// One HTTP/1.0 GET of path?method=get<query>; the number of reply bytes kept
// in response (room for 4000), or -1 with a message in errbuf. Bounded by a
// time-out for the connection and the reply.
int doPost(const char* host, int port, const char* path, const char* query, char* response, char* errbuf);
