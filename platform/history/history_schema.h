#pragma once
// The history's tables and their versions. The program creates them in an
// empty database and brings an older one up to date, in one transaction that
// other stations wait for; a database of a newer program is left alone.
//   version 1: history_schema, jobs (with each job's log), job_images
//   version 2: the logs in job_logs of their own (listing 100,000 jobs no
//              longer drags their logs along), indexes for the filters

#include <string>

namespace history {

class CDbConnection;

constexpr int kSchemaVersion = 2;

// 0 for a database without the history's tables; -1 with error when it
// cannot be read.
int ReadSchemaVersion(CDbConnection& db, std::string& error);

// Creates or migrates up to nTarget (1..kSchemaVersion). False with the
// reason; nothing is changed then. A database at a newer version than
// nTarget is refused.
bool MigrateSchema(CDbConnection& db, int nTarget, std::string& error);

// MigrateSchema to kSchemaVersion.
bool EnsureSchema(CDbConnection& db, std::string& error);

}  // namespace history
