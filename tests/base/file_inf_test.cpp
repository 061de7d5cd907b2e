#include "base/file_inf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/base/temp_dir.h"

namespace {

using base_test::TempDir;
using KALMO::FileInf;
using Values = std::map<std::string, std::map<std::string, std::string>>;

Values values(const FileInf& f) {
  Values v;
  for (const auto& [g, keys] : f.groups) {
    auto& out = v[g];
    for (const auto& [k, u] : keys) out[k] = u.value;
  }
  return v;
}

TEST(FileInf, ParsesTheFileFormat) {
  struct Case {
    const char* name;
    std::string bytes;
    char joiner;
    bool ok;
    Values expected;
  } const cases[] = {
      {"byte order mark", "\xEF\xBB\xBF" "a=1\n", 0, true, {{"global", {{"a", "1"}}}}},
      {"empty file", "", 0, true, {}},
      {"only the mark", "\xEF\xBB\xBF", 0, true, {}},
      {"CR LF", "[g]\r\nk=v\r\n\r\nx=y\r\n", 0, true, {{"g", {{"k", "v"}, {"x", "y"}}}}},
      {"LF", "[g]\nk=v\n\n\nx=y", 0, true, {{"g", {{"k", "v"}, {"x", "y"}}}}},
      {"CR", "[g]\rk=v\r\rx=y\r", 0, true, {{"g", {{"k", "v"}, {"x", "y"}}}}},
      {"TAB without joiner", "a=1\tb\n", 0, false, {}},
      {"TAB with joiner", "a=1\tb\nk\tx = 2\n", ',', true,
       {{"global", {{"a", "1\tb"}, {"k\tx", "2"}}}}},
      {"control byte", "a=1\x01\n", 0, false, {}},
      {"control byte with joiner", "a=1\n\x1f", ',', false, {}},
      {"NUL byte", std::string("a=1\0\n", 5), ',', false, {}},
      {"high bytes kept", "k=\xC3\xA9\x7F\xFF\n", 0, true, {{"global", {{"k", "\xC3\xA9\x7F\xFF"}}}}},
      {"blanks around =", "  a   =   b  \n", 0, true, {{"global", {{"a", "b"}}}}},
      {"second = is value", "a=b=c", 0, true, {{"global", {{"a", "b=c"}}}}},
      {"empty key ignored", "=x\n   = y\n", 0, true, {}},
      {"empty value", "k=\n", 0, true, {{"global", {{"k", ""}}}}},
      {"value of blanks", "k=   \n", 0, true, {{"global", {{"k", "   "}}}}},
      {"blanks inside kept", "a b =c  # d ; e\n", 0, true, {{"global", {{"a b", "c  # d ; e"}}}}},
      {"group with blanks", "  [  net  ]   \nk=1\n", 0, true, {{"net", {{"k", "1"}}}}},
      {"group without ]", "[net\nk=1\n", 0, true, {{"global", {{"k", "1"}}}}},
      {"empty group name", "k0=0\n[g]\nk=1\n[]\nk=2\n", 0, true,
       {{"global", {{"k0", "0"}, {"k", "2"}}}, {"g", {{"k", "1"}}}}},
      {"group line alone makes no group", "[empty]\n[g]\nk=1\n", 0, true, {{"g", {{"k", "1"}}}}},
      {"later key wins", "x=1\nx=2\n", 0, true, {{"global", {{"x", "2"}}}}},
      {"comments", "; x=1\n  # y=2\n// z=3\n/w=4\n", 0, true, {{"global", {{"/w", "4"}}}}},
      {"no = and no joiner", "k=a\nb\n", 0, true, {{"global", {{"k", "a"}}}}},
      {"join comma", "list=a\nb\n  c  \n", ',', true, {{"global", {{"list", "a,b,c"}}}}},
      {"join after trailing joiner", "list=a,\n,b\n", ',', true, {{"global", {{"list", "a,b"}}}}},
      {"join leading joiner", "list=a\n,b\n", ',', true, {{"global", {{"list", "a,b"}}}}},
      {"join trailing only", "list=a,\nb\n", ',', true, {{"global", {{"list", "a,b"}}}}},
      {"join onto empty", "list=\nb\n", ',', true, {{"global", {{"list", "b"}}}}},
      {"join blank", "msg=hello\nworld\n", ' ', true, {{"global", {{"msg", "helloworld"}}}}},
      {"join blanks-only line", "k=a\n   \n", ',', true, {{"global", {{"k", "a,   "}}}}},
      {"join blanks-only line, blank joiner", "k=a\n   \n", ' ', true, {{"global", {{"k", "a   "}}}}},
      {"comment keeps continuation", "list=a\n# note\nb\n", ',', true, {{"global", {{"list", "a,b"}}}}},
      {"empty key keeps continuation", "list=a\n=z\nb\n", ',', true, {{"global", {{"list", "a,b"}}}}},
      {"group line ends continuation", "list=a\n[g]\nb\n", ',', true, {{"global", {{"list", "a"}}}}},
      {"bad group line ends continuation", "list=a\n[g\nb\n", ',', true, {{"global", {{"list", "a"}}}}},
      {"no continuation target", "# c\nb\nk=1\n", ',', true, {{"global", {{"k", "1"}}}}},
      {"dotted group", "[dev.1]\nk=1\n", 0, true, {{"dev.1", {{"k", "1"}}}}},
  };
  TempDir t;
  ASSERT_TRUE(t.ok());
  for (const Case& c : cases) {
    const std::string p = t.write("setting.inf", c.bytes);
    FileInf f;
    EXPECT_EQ(f.load(p, c.joiner), c.ok) << c.name;
    EXPECT_EQ(values(f), c.expected) << c.name;
    EXPECT_EQ(f.path, c.ok ? p : std::string()) << c.name;
  }
}

TEST(FileInf, FailedLoadChangesNothing) {
  TempDir t;
  ASSERT_TRUE(t.ok());
  const std::string good = t.write("good.inf", "[g]\nk=1\n");
  const std::string tab = t.write("tab.inf", "[g]\nk=2\n[h]\nx\t=1\n");
  t.mkdir("dir.inf");
  const std::string bad[] = {tab, t.file("dir.inf"), t.file("missing.inf"), "/dev/zero", "/dev/null"};
  for (const std::string& p : bad) {
    FileInf f;
    ASSERT_TRUE(f.load(good, 0));
    f.set_current_group("g");
    EXPECT_FALSE(f.load(p, 0)) << p;
    EXPECT_EQ(values(f), (Values{{"g", {{"k", "1"}}}})) << p;
    EXPECT_EQ(f.currentGroup, "g");
    EXPECT_EQ(f.get("k"), "1") << p;
    EXPECT_EQ(f.path, good);
    EXPECT_EQ(f.counter, 1);
  }
}

TEST(FileInf, LoadsMergeAndCountKeyLines) {
  FileInf f;
  f.set_string("a=1\nb=2\n[g]\nc=3");
  f.set_string("a=9\n[g]\nd=4");
  EXPECT_EQ(values(f), (Values{{"global", {{"a", "9"}, {"b", "2"}}}, {"g", {{"c", "3"}, {"d", "4"}}}}));
  EXPECT_EQ(f.counter, 5);
  EXPECT_EQ(f.groups["global"]["a"].order, 4);
  EXPECT_EQ(f.groups["g"]["c"].order, 3);
  f.set("new", "v");
  EXPECT_EQ(f.groups["global"]["new"].order, 0);
  f.set("a", "x");
  EXPECT_EQ(f.groups["global"]["a"].order, 4);
  EXPECT_EQ(f.counter, 5);
  f.clear_data();
  EXPECT_TRUE(f.groups.empty());
  EXPECT_EQ(f.counter, 0);
  EXPECT_EQ(f.get("a"), "");
}

TEST(FileInf, SetStringIgnoresTheFileByteRules) {
  FileInf f;
  f.set_string("\xEF\xBB\xBF" "a=1\r\nb=x\ty\r\rc=\x01");
  // No mark handling: the first key is the mark followed by a.
  EXPECT_EQ(values(f), (Values{{"global", {{"\xEF\xBB\xBF" "a", "1"}, {"b", "x\ty"}, {"c", "\x01"}}}}));
}

TEST(FileInf, DottedGroupsAndSelection) {
  FileInf f;
  f.set_string("top=g\n[dev]\nk=base\nonly=base\n[dev.1]\nk=one\n");
  f.set_current_group("dev.1");
  EXPECT_EQ(f.get("k"), "one");
  EXPECT_EQ(f.get("only"), "");  // the dotted group alone is read
  f.set_current_group("dev.2");
  EXPECT_EQ(f.get("k"), "base");
  EXPECT_EQ(f.get("only"), "base");
  f.set_current_group("nothing.1");
  EXPECT_EQ(f.get("k"), "");
  f.set_current_group("dev");
  EXPECT_EQ(f.get("k"), "base");
  f.set_current_group("");
  EXPECT_EQ(f.currentGroup, "global");
  EXPECT_EQ(f.get("top"), "g");
  f.set_current_group("missing");
  EXPECT_EQ(f.get("top"), "");
}

TEST(FileInf, ConstructionAndTheCurrentGroup) {
  FileInf plain;
  EXPECT_EQ(plain.currentGroup, "global");
  EXPECT_EQ(plain.get("x"), "");
  EXPECT_EQ(plain.counter, 0);
  EXPECT_EQ(plain.path, "");
  FileInf named("");
  EXPECT_EQ(named.currentGroup, "");
  // A load selects the current group, so the first file's keys read at once.
  FileInf g("net");
  g.set_string("[net]\nk=1\n");
  EXPECT_EQ(g.get("k"), "1");
}

TEST(FileInf, SetDoesNotRefreshTheSelection) {
  FileInf f("fresh");
  f.set("k", "v");  // creates the group after it was (not) selected
  EXPECT_EQ(f.get("k"), "");
  f.set_current_group("fresh");
  EXPECT_EQ(f.get("k"), "v");
  f.set("k", "w");  // an existing group is seen at once
  EXPECT_EQ(f.get("k"), "w");
}

TEST(FileInf, Get64) {
  struct Case {
    std::string value;
    int64_t expected;
  } const cases[] = {
      {"  -42abc", -42},
      {"abc", 0},
      {"", 0},
      {"99999999999999999999", INT64_MAX},
      {"-99999999999999999999", INT64_MIN},
      {"+17", 17},
      {"0x10", 0},
      {"18446744073709551615", INT64_MAX},
      {"9223372036854775807", INT64_MAX},
  };
  for (const Case& c : cases) {
    FileInf f;
    f.set_current_group("global");
    f.set("k", c.value);
    f.set_current_group("global");
    EXPECT_EQ(f.get64("k"), c.expected) << c.value;
  }
  FileInf f;
  f.set_current_group("global");
  f.set64("max", UINT64_MAX);
  f.set_current_group("global");
  EXPECT_EQ(f.get("max"), "18446744073709551615");
  EXPECT_EQ(f.get64("missing"), 0);
}

TEST(FileInf, GetStringWritesTheExactText) {
  FileInf f;
  f.set_string("[b]\nk=1\n[a]\nz=2\ny=\n[c]\ne=\n");
  std::string out = "stale";
  f.get_string(out);
  EXPECT_EQ(out, "[a]\r\nz=2\r\n\r\n[b]\r\nk=1\r\n\r\n[c]\r\n\r\n");
  EXPECT_EQ(f.get_group_string("a"), "y=\nz=2");
  EXPECT_EQ(f.get_group_string("b"), "k=1");
  EXPECT_EQ(f.get_group_string("missing"), "");
  FileInf empty;
  empty.get_string(out);
  EXPECT_EQ(out, "");
}

TEST(FileInf, SaveAndLoadRoundTrip) {
  TempDir t;
  ASSERT_TRUE(t.ok());
  FileInf f;
  f.set_string("top=1\n[net]\naddr=fe80::1,19642\nname=a b c\n");
  const std::string p = t.file("saved.inf");
  ASSERT_TRUE(f.save(p));
  EXPECT_EQ(f.path, "");
  FileInf back;
  ASSERT_TRUE(back.load(p, 0));
  EXPECT_EQ(values(back), values(f));
  EXPECT_FALSE(f.save("/dev/full"));
  EXPECT_FALSE(f.save(t.file("no/such/dir.inf")));
}

TEST(FileInf, CopiesOwnTheirSelection) {
  FileInf* original = new FileInf;
  original->set_string("[dev]\nk=base\n[dev.1]\nk=one\n");
  original->set_current_group("dev.1");
  original->path = "/somewhere";
  FileInf copied(*original);
  FileInf assigned;
  assigned.path = "/mine";
  assigned = *original;
  FileInf viaCopy;
  viaCopy.copy(*original);
  delete original;  // the copies must not point into its groups
  for (FileInf* f : {&copied, &assigned, &viaCopy}) {
    EXPECT_EQ(f->currentGroup, "dev.1");
    EXPECT_EQ(f->get("k"), "one");
  }
  EXPECT_EQ(copied.path, "");
  EXPECT_EQ(assigned.path, "/mine");

  FileInf data("dev");
  FileInf source;
  source.set_string("[dev]\nk=2\n");
  source.set_current_group("other");
  data.copy_data(source);
  EXPECT_EQ(data.currentGroup, "dev");
  EXPECT_EQ(data.get("k"), "2");
  data = data;
  EXPECT_EQ(data.get("k"), "2");
}

TEST(FileInf, Trimming) {
  struct Case {
    std::string in, front, back;
  } const cases[] = {
      {"  a b  ", "a b  ", "  a b"}, {"   ", "   ", "   "}, {"", "", ""}, {"\ta\t", "\ta\t", "\ta\t"},
  };
  for (const Case& c : cases) {
    std::string f = c.in, b = c.in;
    FileInf::delete_space_front(f);
    FileInf::delete_space_back(b);
    EXPECT_EQ(f, c.front);
    EXPECT_EQ(b, c.back);
  }
}

}  // namespace

namespace {

// A group line without its closing "]" is ignored, so the keys after it
// stay in the group they were going to; the line is kept, as written, with
// that group, for the reader to name it.
TEST(FileInf, UnclosedGroupLinesAreKeptWithWhereTheirKeysWent) {
  struct Case {
    const char* text;
    Values groups;
    std::vector<std::pair<std::string, std::string>> unclosed;  // line, group of the keys after it
  };
  const Case cases[] = {
      {"[amp:left]\nk=1", {{"amp:left", {{"k", "1"}}}}, {}},
      {"[amp:left\nk=1", {{"global", {{"k", "1"}}}}, {{"[amp:left", "global"}}},
      {"  [amp:left   \nk=1", {{"global", {{"k", "1"}}}}, {{"[amp:left", "global"}}},
      {"[a]\nx=1\n[b\ny=2\n[c]\nz=3",
       {{"a", {{"x", "1"}, {"y", "2"}}}, {"c", {{"z", "3"}}}},
       {{"[b", "a"}}},
      {"[\nk=1\n[a]b\n[]\nm=2", {{"global", {{"k", "1"}, {"m", "2"}}}}, {{"[", "global"}, {"[a]b", "global"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FileInf f;
    f.set_string(c.text);
    EXPECT_EQ(values(f), c.groups);
    std::vector<std::pair<std::string, std::string>> got;
    for (const FileInf::UnclosedGroup& g : f.unclosedGroups) got.emplace_back(g.line, g.keysGoTo);
    EXPECT_EQ(got, c.unclosed);
    // Copies carry them; clearing the data drops them.
    FileInf copy(f);
    EXPECT_EQ(copy.unclosedGroups.size(), c.unclosed.size());
    f.clear_data();
    EXPECT_TRUE(f.unclosedGroups.empty());
  }
}

TEST(FileInf, LookupsRecordTheKeysAskedFor) {
  FileInf f;
  f.set_string("a=1\nb=2\n[g]\nc=3");
  std::set<std::string> asked;
  (void)f.get("before");
  f.lookups = &asked;
  EXPECT_EQ(f.get("a"), "1");
  EXPECT_EQ(f.get64("b"), 2);
  EXPECT_EQ(f.get("missing"), "");
  f.set_current_group("g");
  EXPECT_EQ(f.get("c"), "3");
  f.lookups = nullptr;
  (void)f.get("after");
  EXPECT_EQ(asked, (std::set<std::string>{"a", "b", "c", "missing"}));
}

}  // namespace
