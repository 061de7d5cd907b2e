#include "base/file_inf.h"

#include <cstdlib>
#include <new>

#include "base/file_buffer.h"

namespace KALMO {

namespace {

bool allBlanks(const std::string& s) { return s.find_first_not_of(' ') == std::string::npos; }

void trim(std::string& s) {
  FileInf::delete_space_front(s);
  FileInf::delete_space_back(s);
}

// Appends a continuation line to a value.
void join(std::string& value, std::string line, char joiner) {
  if (joiner == ' ') {
    value += line;
  } else if (value.empty()) {
    value = std::move(line);
  } else if (value.back() == joiner) {
    if (!line.empty() && line.front() == joiner) line.erase(0, 1);
    value += line;
  } else if (!line.empty() && line.front() == joiner) {
    value += line;
  } else {
    value.push_back(joiner);
    value += line;
  }
}

}  // namespace

FileInf::FileInf() : currentGroup("global") {}

FileInf::FileInf(const std::string& group) : currentGroup(group) {}

FileInf::FileInf(const FileInf& other) : FileInf() {
  copy_data(other);
  set_current_group(other.currentGroup);
}

FileInf& FileInf::operator=(const FileInf& other) {
  copy(other);
  return *this;
}

void FileInf::copy(const FileInf& other) {
  if (this == &other) return;
  copy_data(other);
  set_current_group(other.currentGroup);
}

void FileInf::copy_data(const FileInf& other) {
  if (this == &other) return;
  // The cached pointers belong to our old maps: drop them before the maps go.
  baseGroup = nullptr;
  dottedGroup = nullptr;
  groups = other.groups;
  counter = other.counter;
  unclosedGroups = other.unclosedGroups;
  set_current_group(currentGroup);
}

void FileInf::clear_data() {
  baseGroup = nullptr;
  dottedGroup = nullptr;
  groups.clear();
  unclosedGroups.clear();
  counter = 0;
}

void FileInf::delete_space_front(std::string& text) {
  if (allBlanks(text)) return;
  text.erase(0, text.find_first_not_of(' '));
}

void FileInf::delete_space_back(std::string& text) {
  if (allBlanks(text)) return;
  text.erase(text.find_last_not_of(' ') + 1);
}

bool FileInf::load(const std::string& file, char joiner) {
  FileBuffer bytes;
  if (!bytes.load(file)) return false;
  std::list<std::string> lines;
  try {
    if (!bytes.get_string_list(lines, joiner != 0)) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  load(lines, joiner);
  path = file;
  return true;
}

void FileInf::load(const std::list<std::string>& lines, char joiner) {
  std::string groupName;
  Unit* target = nullptr;  // the value a line without "=" continues
  for (const std::string& original : lines) {
    if (original.empty()) continue;
    std::string line = original;
    delete_space_front(line);
    if (line[0] == ';' || line[0] == '#' || line.compare(0, 2, "//") == 0) continue;
    if (line[0] == '[') {
      delete_space_back(line);
      target = nullptr;
      if (line.size() < 2 || line.back() != ']') {
        unclosedGroups.push_back({line, groupName.empty() ? std::string("global") : groupName});
        continue;
      }
      groupName = line.substr(1, line.size() - 2);
      trim(groupName);
      continue;
    }
    const size_t eq = line.find('=');
    if (eq != std::string::npos) {
      std::string key = line.substr(0, eq);
      delete_space_back(key);
      if (key.empty()) continue;
      std::string value = line.substr(eq + 1);
      trim(value);
      Unit& unit = groups[groupName.empty() ? std::string("global") : groupName][key];
      unit.value = std::move(value);
      unit.order = ++counter;
      target = &unit;
      continue;
    }
    if (joiner == 0 || target == nullptr) continue;
    trim(line);
    join(target->value, std::move(line), joiner);
  }
  set_current_group(currentGroup);
}

void FileInf::set_string(const std::string& text) {
  std::list<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t stop = text.find_first_of("\r\n", start);
    if (stop == std::string::npos) stop = text.size();
    if (stop > start) lines.push_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  load(lines, 0);
}

void FileInf::set_current_group(const std::string& name) {
  currentGroup = name.empty() ? std::string("global") : name;
  auto find = [this](const std::string& g) -> Group* {
    auto it = groups.find(g);
    return it == groups.end() ? nullptr : &it->second;
  };
  const size_t dot = currentGroup.find('.');
  if (dot != std::string::npos) {
    baseGroup = find(currentGroup.substr(0, dot));
    dottedGroup = find(currentGroup);
  } else {
    baseGroup = find(currentGroup);
    dottedGroup = nullptr;
  }
}

std::string FileInf::get(const std::string& key) const {
  if (lookups != nullptr) lookups->insert(key);
  const Group* g = dottedGroup != nullptr ? dottedGroup : baseGroup;
  if (g == nullptr) return std::string();
  auto it = g->find(key);
  return it == g->end() ? std::string() : it->second.value;
}

int64_t FileInf::get64(const std::string& key) const {
  const std::string v = get(key);
  return static_cast<int64_t>(std::strtoll(v.c_str(), nullptr, 10));
}

void FileInf::set(const std::string& key, const std::string& value) {
  groups[currentGroup][key].value = value;
}

void FileInf::set64(const std::string& key, uint64_t number) { set(key, std::to_string(number)); }

void FileInf::get_string(std::string& out) const {
  out.clear();
  for (const auto& [name, group] : groups) {
    out += "[";
    out += name;
    out += "]\r\n";
    for (const auto& [key, unit] : group) {
      if (unit.value.empty()) continue;
      out += key;
      out += "=";
      out += unit.value;
      out += "\r\n";
    }
    out += "\r\n";
  }
}

bool FileInf::save(const std::string& file) const {
  std::string text;
  get_string(text);
  FileBuffer bytes;
  if (!bytes.write(text.data(), text.size())) return false;
  return bytes.save(file);
}

std::string FileInf::get_group_string(const std::string& group) const {
  std::string out;
  auto it = groups.find(group);
  if (it == groups.end()) return out;
  for (const auto& [key, unit] : it->second) {
    if (!out.empty()) out.push_back('\n');
    out += key;
    out += "=";
    out += unit.value;
  }
  return out;
}

}  // namespace KALMO
