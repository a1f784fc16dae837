// The retrieval verbs of wirelane-probe: "query" prints the stored pair
// records of a period, "play" writes (and replays) the stored frames.
#pragma once

extern const char* const verbsUsageText;

// argv[0] is the verb. The exit status: 0 done; 1 standard output could not
// be written or the ClickHouse query failed; 2 a bad argument, filter, period
// or store, or a file that could not be written (with a one-line message).
int runQueryVerb(int argc, char** argv);
int runPlayVerb(int argc, char** argv);
