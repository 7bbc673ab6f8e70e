// POSIX paths: the program file, its folder and the file-name rules the
// program derives its own files by.
#pragma once

#include <string>
#include <string_view>

namespace vantora {

// True when the path begins with '/'.
bool IsAbsolutePath(std::string_view path);

// "/a/b/c.txt" -> "/a/b/" (with the final '/'; empty when there is none).
std::string ExtractFilePath(std::string_view path);
// "/a/b/c.txt" -> "/a/b" (without the final '/').
std::string ExtractFileDir(std::string_view path);
// "/a/b/c.txt" -> "c.txt".
std::string ExtractFileName(std::string_view path);
// The extension of the file-name part with its '.', or empty: "/a.d/b" -> "".
std::string ExtractFileExt(std::string_view path);
// Replaces the extension of the file-name part (from its last '.', never a
// '.' of a directory) by new_ext, which carries its own '.':
// ChangeFileExt("/srv/vantora.cgi", ".stat1") -> "/srv/vantora.stat1".
std::string ChangeFileExt(std::string_view path, std::string_view new_ext);

// The full path of the program file: the executable, or the shared library
// itself when the program is loaded as a library.
std::string ModuleFileName();
// The program's folder: the directory of ModuleFileName(), without final '/'.
std::string ProgramFolder();
// Tests only: makes ModuleFileName() answer the given path (empty: real one).
void SetModuleFileNameForTesting(const std::string& path);

// The process-wide "loaded as a library" flag, set by the library build
// before anything else runs.
bool IsLibrary();
void SetIsLibrary(bool is_library);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

}  // namespace vantora
