#pragma once
// A settings file in memory: named groups of key/value strings, read from
// and written to the "key=value" text format with [group] lines.
//
// Lookups read one selected group through a cached pointer (two for a
// dotted name "base.sub"); the cache is filled by set_current_group and by
// loads. Whoever edits `groups` directly must select the group again.

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace KALMO {

class FileInf {
 public:
  struct Unit {
    std::string value;
    int order = 0;  // counter value when a key line stored it; 0 for set()
  };
  using Group = std::map<std::string, Unit>;

  FileInf();
  explicit FileInf(const std::string& group);
  FileInf(const FileInf& other);
  FileInf& operator=(const FileInf& other);
  ~FileInf() = default;

  void copy(const FileInf& other);
  // Groups and counter from other; the group selection stays our own.
  void copy_data(const FileInf& other);
  // Removes every group; the selected name and path stay.
  void clear_data();

  // Reads and parses a file, merging into the present groups. With joiner
  // 0 any byte below 0x20 but CR/LF fails the file; otherwise TAB is kept
  // and a line without "=" continues the previous value, joined by joiner.
  // False (nothing changed) when the file cannot be read or holds a bad
  // byte.
  bool load(const std::string& file, char joiner);
  void load(const std::list<std::string>& lines, char joiner);
  // Parses text split at CR and LF, with joiner 0 and no byte checks.
  void set_string(const std::string& text);

  // Selects the group for lookups ("global" for an empty name). For a name
  // with a dot, lookups read the full dotted group when it exists, else the
  // group named by the part before the first dot.
  void set_current_group(const std::string& name);

  std::string get(const std::string& key) const;
  // get() as a signed decimal like strtol: 0 without digits, saturated at
  // the 64-bit limits.
  int64_t get64(const std::string& key) const;
  // Stores into the group named currentGroup; does not refresh the cache.
  void set(const std::string& key, const std::string& value);
  void set64(const std::string& key, uint64_t number);

  // Every group as "[name]" CR LF, its non-empty keys as key=value CR LF,
  // then an empty line.
  void get_string(std::string& out) const;
  bool save(const std::string& file) const;
  // The keys of one group as key=value lines joined by LF.
  std::string get_group_string(const std::string& group) const;

  // Trim blanks (0x20 only); a string of blanks only stays as it is.
  static void delete_space_front(std::string& text);
  static void delete_space_back(std::string& text);

  // A line that opens a group but lacks its closing "]" is ignored, as
  // before, so the keys after it stay in the group they were going to (the
  // one named by the last complete group line, else "global"). Each such
  // line is kept here, as written, with that group, so the reader of the
  // settings can say so once logging runs.
  struct UnclosedGroup {
    std::string line;
    std::string keysGoTo;
  };
  std::vector<UnclosedGroup> unclosedGroups;

  // When set, every key that get() or get64() is asked for is added to it:
  // which keys a reader of the settings looks at.
  std::set<std::string>* lookups = nullptr;

  std::map<std::string, Group> groups;
  std::string currentGroup;
  int counter = 0;
  std::string path;  // the last file that loaded

 private:
  Group* baseGroup = nullptr;
  Group* dottedGroup = nullptr;
};

}  // namespace KALMO
