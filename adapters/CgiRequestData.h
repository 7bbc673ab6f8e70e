// What the CGI-style adapters (standard CGI and FastCGI) share about reading
// a request: how an engine variable name becomes a CGI variable name, how
// CONTENT_LENGTH is read, and how the request data (the url-encoded fields)
// is taken from the query string or the body.
#pragma once

#include <functional>
#include <string>

#include "engine/HttpEng.h"

namespace vantora {

// Gives an adapter the facade's property values and event handlers, in the
// order the facade passes them.
void ApplyFacadeSettings(THttpEngine& engine, bool buffered_output, bool no_cache,
                         std::string temp_dir, std::string session_name, int auto_read_limit,
                         bool auto_read_input, std::string auto_content_type, bool auto_http_header,
                         TRequestErrorEvent on_request_error,
                         TLastExecRequestEvent on_last_exec_request,
                         TExecRequestEvent on_exec_request,
                         TFirstExecRequestEvent on_first_exec_request);

// "SERVER NAME" -> "SERVER_NAME", "Remote User" -> "REMOTE_USER"; the name
// "EXECUTABLE PATH" reads SCRIPT_NAME.
std::string CgiVariableName(const std::string& name);

// CONTENT_LENGTH as a number: optional blanks, an optional sign, digits.
// Throws std::runtime_error ("'x' is not a valid integer value") for anything
// else.
int CgiContentLength(const std::string& text);

// Reads up to count body bytes into buffer and returns how many arrived
// (fewer only at the end of the input or on an error).
using TBodyReader = std::function<int(char* buffer, int count)>;

// The request data of the request the engine serves: the query string when
// there is no body; otherwise the body (url-encoded, or decoded from
// "multipart/form-data" through the engine's ReadData).  A body larger than
// AutoReadLimit is logged ("Content length exceeds AutoReadLimit") and gives
// no data; with AutoReadInput off a body is not read.  A body shorter than
// announced ends where the bytes end; the data is its text up to a zero
// byte.  Throws for a non-numeric CONTENT_LENGTH.
std::string ReadCgiRequestData(THttpEngine& engine, const TBodyReader& read_body);

}  // namespace vantora
