// Field lookup in url-encoded request data: segments of a name, "=", a value
// and "&", names and values url-encoded.
#pragma once

#include <string>
#include <vector>

namespace vantora {

// The value of the field key in data, decoded and trimmed; default_value when
// absent.  Names compare decoded, trimmed and case-insensitively.  A field
// sent several times yields all its values in order, joined by CR LF.  A
// segment without '=' becomes part of the next field name.
std::string FindField(const std::string& data, const std::string& key,
                      const std::string& default_value);

// The field names of data (each url-decoded once), in order of appearance;
// a name equal to the one just before it is not repeated, and segments
// without '=' are skipped.
std::vector<std::string> ListFieldNames(const std::string& data);

}  // namespace vantora
