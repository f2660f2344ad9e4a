// The files that travel with the binary: the SQL scripts (sql/schema.sql,
// sql/demo.sql) and the API description (api/openapi.json). The build copies
// them next to the binary (<bin>/sql, <bin>/api); a binary run from elsewhere
// reads them from the source tree it was built from.
#pragma once

#include <string>

namespace backoffice {

// The text of a script by file name; throws when it is in neither place.
std::string ReadSqlScript(const std::string& name);
// The same for any file shipped that way, by its path in the repository ("api/openapi.json").
std::string ReadShippedFile(const std::string& relativePath);

}  // namespace backoffice
