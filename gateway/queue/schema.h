#pragma once
// The queue's tables, and how a file of an older release is brought forward (PRAGMA user_version).

struct sqlite3;

namespace velkor::gateway {

// The schema this build writes; files of 0 (release 2.4) and up are brought forward to it.
inline constexpr int SCHEMA_VERSION = 8;

// Creates the tables of a new file, or brings an older one forward in one transaction; a newer file, or
// one of no known version, is refused (StoreError). A file of this version is not written to.
void BringForward(sqlite3* db);

} // namespace velkor::gateway
