// The files of a JSON or packet store, found in the store's directory, with
// the period each covers.
#pragma once

#include <string>
#include <vector>

struct StoreFileT {
    std::string path;   // directory and name
    std::string name;   // name only
    long long stime;    // time of its first record or frame
    long long etime;    // its last modification, to the second
};

// The store's files ("Wirelane" in the name, ending in "." ext) in dir,
// oldest modification first (names break ties). Left out: blank files of
// exactly blankSize bytes, the file named skipName (the one being written;
// "" for none) and files whose firstTime is not above 0. 0, or -1 when the
// directory cannot be listed.
int listStore(const char* dir, const char* ext, long long blankSize, const char* skipName,
              long long (*firstTime)(const char* path), std::vector<StoreFileT>& out);

// Whether file f may hold items of the period from start to end (end
// included when endIncluded).
bool periodMeets(const StoreFileT& f, long long start, long long end, bool endIncluded);
