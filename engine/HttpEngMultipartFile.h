// Temporary files for uploaded form files.
#pragma once

#include <string>

namespace vantora {

// The part of a client's file name that goes into the temporary file's name:
// the text after its last '/' or '\' (browsers send "c:\dir\name.pdf"), up to
// its first '.', with every character other than a letter, digit, '-' or '_'
// replaced by '_'.
std::string UploadBaseName(const std::string& client_file_name);

// An upload file that is open for writing; closes it when destroyed.
class UploadFile {
 public:
  UploadFile() = default;
  ~UploadFile() { Close(); }
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;

  // Creates a new file named n + UploadBaseName(client_file_name) + ".tmp",
  // n a random number below 9000000, in temp_dir (absolute, or relative to
  // the program's folder; empty means the program's folder).  The file is
  // created exclusively with mode 0600; a name that exists already makes it
  // draw another number.  Throws std::runtime_error when no file can be
  // created.
  void Create(const std::string& temp_dir, const std::string& client_file_name);

  // Appends count bytes.  Throws std::runtime_error when the write fails.
  void Write(const char* bytes, size_t count);
  void Close();

  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace vantora
