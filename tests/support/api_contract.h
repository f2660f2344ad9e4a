// The API description (api/openapi.json) as the contract of the host's answers:
// every answer a test receives must be documented for its operation (path,
// method and status) and fit the schema of its media type. The tests' HTTP
// client checks each answer it receives (ServeProcess::Client), so the
// description cannot drift from the routes without a test failing.
//
// The check knows the part of JSON Schema 2020-12 the description uses: $ref
// (within the document), type, enum, const, properties, required,
// additionalProperties, items, allOf, anyOf, oneOf, not, pattern, the length,
// size and range bounds, and the annotations. A schema with any other keyword
// is reported as a breach rather than passed unchecked; scripts/check-openapi.py
// checks the document itself against the published OpenAPI 3.1 schema.
#pragma once

#include <string>

namespace testing_support {

// Why the answer breaks the contract, or "" when it keeps it. `target` is the
// request's path with its query; `contentType` the answer's Content-Type. An
// answer to a path and method the description does not name must be a refusal
// (4xx) in the one error format.
std::string ContractBreach(const std::string& method, const std::string& target, int status,
                           const std::string& contentType, const std::string& body);

}  // namespace testing_support
