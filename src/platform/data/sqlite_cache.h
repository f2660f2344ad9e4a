// The page cache of the SQLite connections: a cache that holds the pages a run
// goes back to saves reading them again, and SQLite's own default of 2 MB is
// outgrown by a database of some 10,000 orders. The installation sizes it with
// the setting named here (read with its connection string).
#pragma once

#include <cstdint>

namespace ado {

inline constexpr const char* kDatabaseSection = "DATABASE";
inline constexpr const char* kSQLiteCacheSetting = "SQLiteCacheMiB";
inline constexpr int32_t kSQLiteCacheMiBDefault = 64, kSQLiteCacheMiBMin = 2, kSQLiteCacheMiBMax = 4096;

// MiB of page cache for each SQLite connection opened from now on; a value
// outside kSQLiteCacheMiBMin..kSQLiteCacheMiBMax is brought within.
void SetSQLiteCacheMiB(int32_t mebibytes);
int32_t SQLiteCacheMiB();

}  // namespace ado
