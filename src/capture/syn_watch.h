// The SYN watch: the openings of TCP connections, seen at once on the card
// being captured, for the attribution of their programs.
#pragma once

// Starts the watch's thread, for live capture; it follows the card the
// capture thread has open.
void startSynWatch();
