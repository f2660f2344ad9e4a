// The SQL scripts of the system (sql/schema.sql, sql/demo.sql). The build copies
// them next to the binary (<bin>/sql); a binary run from elsewhere reads them
// from the source tree it was built from.
#pragma once

#include <string>

namespace backoffice {

// The text of a script by file name; throws when it is in neither place.
std::string ReadSqlScript(const std::string& name);

}  // namespace backoffice
