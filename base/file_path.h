#pragma once
// One file-system path, edited as text. "/" is the only separator; a path
// ending with "/" names a directory, the empty path the working directory.

#include <string>

namespace KALMO {

class FilePath {
 public:
  std::string path;

  // "./" for an empty text; otherwise the text with one "/" at its end.
  void setDirectory(const std::string& directory);
  void setFilePath(const std::string& file) { path = file; }
  bool isDirectory() const { return path.empty() || path.back() == '/'; }

  // The text from begin up to and including the last "/" before end; ""
  // when there is none.
  static std::string separate(std::string::const_iterator begin, std::string::const_iterator end);

  // Cuts the file name after the last "/"; false for a directory path or a
  // path without "/".
  bool removeFilename();
  // Steps a directory path up to its parent; false when there is none.
  bool popupDirectory();
  // Looks for name in the directory of path, then in each parent; a name
  // ending with "/" matches only directories, any other only
  // non-directories. On success path is the match.
  bool AutoPath(const std::string& name);

  // path exists and is a directory exactly when it ends with "/".
  bool isValid() const;
  // text exists and is a directory exactly when directory is true.
  static bool isValid(const std::string& text, bool directory);
  // Something exists at text, with or without its final "/".
  static bool isValid(const std::string& text);

  // path = the running executable's path (empty when it cannot be read).
  void setMySelfPath();
  static std::string getMyPath();
};

}  // namespace KALMO
