// orb's commands are written once, in kOrbCommands (tools/orb_commands.h);
// orb prints its usage from that table. The places a person reads them are
// written by hand: the command table of docs/orb.md, the COMMANDS of the man
// page and the command list of the bash completion. This test reads each of
// them and holds it against the table, so that a command added, renamed or
// given another synopsis in one place and not in the others fails here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/orb_commands.h"

namespace carob::tools {
namespace {

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(CAROB_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// A command table row of docs/orb.md: "| `orb SYNOPSIS` | SUMMARY |".
struct DocRow {
  std::string synopsis;
  std::string summary;
  bool operator==(const DocRow&) const = default;
};

std::ostream& operator<<(std::ostream& out, const DocRow& row) {
  return out << "{" << row.synopsis << " | " << row.summary << "}";
}

// The rows of the table under "## Commands" in docs/orb.md, "\|" read as "|".
std::vector<DocRow> DocCommandRows(const std::string& doc) {
  std::vector<DocRow> rows;
  bool in_section = false;
  const std::regex row(R"(^\| `orb ((?:[^`])+)` \| (.*) \|$)");
  for (std::string line : Lines(doc)) {
    if (line.starts_with("## ")) in_section = line == "## Commands";
    if (!in_section) continue;
    line = std::regex_replace(line, std::regex(R"(\\\|)"), "\x01");
    std::smatch m;
    if (!std::regex_match(line, m, row)) continue;
    auto back = [](std::string s) { return std::regex_replace(s, std::regex("\x01"), "|"); };
    rows.push_back({back(m[1]), back(m[2])});
  }
  return rows;
}

// The words a roff request line shows, in its fonts' order: ".B a b" shows
// "a b", ".BI "x " y" shows "x y" (the alternating requests join their
// arguments without a space); font changes dropped, "\-" read as "-".
std::string RoffText(const std::string& line) {
  std::string shown = line;
  if (line.starts_with(".")) {
    const std::string request = line.substr(1, line.find(' ') - 1);
    std::vector<std::string> args;
    const std::regex arg(R"re("([^"]*)"|(\S+))re");
    const std::string rest = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' '));
    for (std::sregex_iterator it(rest.begin(), rest.end(), arg), end; it != end; ++it) {
      args.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    }
    const bool alternating = request.size() == 2;
    shown.clear();
    for (size_t i = 0; i < args.size(); ++i) {
      if (i > 0 && !alternating) shown += " ";
      shown += args[i];
    }
  }
  shown = std::regex_replace(shown, std::regex(R"(\\f[BIPR])"), "");
  return std::regex_replace(shown, std::regex(R"(\\-)"), "-");
}

// The tags of the man page's COMMANDS section at the level `level`: 0, the
// commands; 1, the options of a command (inside .RS/.RE), as shown.
std::vector<std::string> ManCommandTags(const std::string& page, int level = 0) {
  std::vector<std::string> tags;
  const std::vector<std::string> lines = Lines(page);
  bool in_section = false;
  int depth = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with(".SH")) in_section = lines[i] == ".SH COMMANDS";
    if (!in_section) continue;
    if (lines[i] == ".RS") ++depth;
    if (lines[i] == ".RE") --depth;
    if (lines[i] == ".TP" && depth == level && i + 1 < lines.size()) {
      tags.push_back(RoffText(lines[i + 1]));
    }
  }
  return tags;
}

// The options of a synopsis: its words' "--name" parts.
std::set<std::string> OptionsOf(std::string_view synopsis) {
  std::set<std::string> options;
  const std::string s(synopsis);
  const std::regex option(R"(--[a-z][a-z-]*)");
  for (std::sregex_iterator it(s.begin(), s.end(), option), end; it != end; ++it) {
    options.insert(it->str());
  }
  return options;
}

TEST(OrbCommandTable, TheDocsTheManPageAndTheCompletionListTheCommandsOfTheTable) {
  std::vector<DocRow> table_rows;
  std::set<std::string> names, synopses;
  for (const OrbCommandInfo& c : kOrbCommands) {
    table_rows.push_back({std::string(c.synopsis), std::string(c.summary)});
    names.insert(std::string(c.name));
    synopses.insert(std::string(c.synopsis));
    EXPECT_EQ(Words(std::string(c.synopsis)).front(), c.name) << c.synopsis;
    EXPECT_EQ(SynopsisOf(c.name), c.synopsis);
    EXPECT_EQ(UsageLine(c.name), "usage: orb " + std::string(c.synopsis) + "\n");
    // One described option for each option of the synopsis, written as the
    // synopsis writes it.
    std::set<std::string> described;
    for (const OrbOptionInfo& o : c.options) {
      const std::string form(o.form);
      EXPECT_FALSE(o.what.empty()) << form;
      EXPECT_NE(c.synopsis.find(form), std::string_view::npos) << c.name << ": " << form;
      EXPECT_TRUE(described.insert(Words(form).front()).second) << c.name << ": " << form << " twice";
    }
    EXPECT_EQ(described, OptionsOf(c.synopsis)) << "the described options of orb " << c.name;
  }
  ASSERT_EQ(names.size(), std::size(kOrbCommands)) << "a name twice in the table";
  EXPECT_EQ(SynopsisOf("help"), "");

  // docs/orb.md: one row per command, in the table's order, with its summary.
  const std::string doc = ReadSource("docs/orb.md");
  ASSERT_FALSE(doc.empty()) << "docs/orb.md is missing";
  EXPECT_EQ(DocCommandRows(doc), table_rows) << "the table under \"## Commands\" in docs/orb.md";

  // Every `orb WORD` the README and the docs mention names a command of the
  // table (or is an option, "help", or the placeholder COMMAND).
  std::vector<std::string> texts = {"README.md"};
  for (const auto& entry : std::filesystem::directory_iterator(std::string(CAROB_SOURCE_DIR) + "/docs")) {
    if (entry.path().extension() == ".md") texts.push_back("docs/" + entry.path().filename().string());
  }
  const std::regex mention(R"(`orb ([A-Za-z][A-Za-z_-]*))");
  size_t mentions = 0;
  for (const std::string& file : texts) {
    const std::string text = ReadSource(file);
    for (std::sregex_iterator it(text.begin(), text.end(), mention), end; it != end; ++it) {
      const std::string word = (*it)[1];
      if (word == "help" || word == "COMMAND") continue;
      ++mentions;
      EXPECT_TRUE(names.count(word)) << file << " mentions `orb " << word << "`, no command of orb";
    }
  }
  EXPECT_GT(mentions, 0u);

  // The man page: one entry per command in COMMANDS, tagged with its synopsis.
  const std::vector<std::string> tags = ManCommandTags(ReadSource("packaging/man/orb.1"));
  EXPECT_EQ(std::set<std::string>(tags.begin(), tags.end()), synopses)
      << "the entries of COMMANDS in packaging/man/orb.1";
  EXPECT_EQ(tags.size(), synopses.size()) << "a command twice in packaging/man/orb.1";
  // ... and every described option in an entry of its own, inside it.
  std::set<std::string> man_options;
  for (const std::string& tag : ManCommandTags(ReadSource("packaging/man/orb.1"), /*depth=*/1)) {
    for (std::string w : Words(tag)) {
      if (w.ends_with(",")) w.pop_back();
      if (w.starts_with("--")) man_options.insert(w);
    }
  }
  for (const OrbCommandInfo& c : kOrbCommands) {
    for (const OrbOptionInfo& o : c.options) {
      EXPECT_TRUE(man_options.count(Words(std::string(o.form)).front()))
          << "packaging/man/orb.1 has no entry for " << o.form;
    }
  }

  // The bash completion: the commands it offers (with "help"), and for every
  // command with options, exactly those options and --help.
  const std::string completion = ReadSource("packaging/orb.bash-completion");
  std::smatch listed;
  ASSERT_TRUE(std::regex_search(completion, listed, std::regex(R"re(local commands="([^"]*)")re")))
      << "packaging/orb.bash-completion lists no commands";
  std::set<std::string> offered;
  for (const std::string& w : Words(listed[1])) offered.insert(w);
  std::set<std::string> expected_offered = names;
  expected_offered.insert("help");
  EXPECT_EQ(offered, expected_offered) << "the commands of packaging/orb.bash-completion";

  const std::vector<std::string> lines = Lines(completion);
  const std::regex branch(R"(^    ([a-z][a-z-]*)\)$)");
  std::set<std::string> branches;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch b;
    if (!std::regex_match(lines[i], b, branch)) continue;
    const std::string name = b[1];
    branches.insert(name);
    if (name == "help") continue;
    EXPECT_TRUE(names.count(name)) << "the completion completes \"" << name << "\", no command of orb";
    // The branch: its lines up to the next branch or the end of the case.
    std::string body;
    for (size_t j = i + 1; j < lines.size() && lines[j] != "  esac" && !std::regex_match(lines[j], branch);
         ++j) {
      body += lines[j] + "\n";
    }
    std::smatch words;
    ASSERT_TRUE(std::regex_search(body, words, std::regex(R"re(compgen -W "([^"]*)")re"))) << name;
    std::set<std::string> completed;
    for (const std::string& w : Words(words[1])) completed.insert(w);
    std::set<std::string> expected = OptionsOf(SynopsisOf(name));
    expected.insert("--help");
    EXPECT_EQ(completed, expected) << "the options the completion offers after orb " << name;
  }
  for (const OrbCommandInfo& c : kOrbCommands) {
    if (!OptionsOf(c.synopsis).empty()) {
      EXPECT_TRUE(branches.count(std::string(c.name)))
          << "the completion offers no options after orb " << c.name;
    }
  }
}

}  // namespace
}  // namespace carob::tools
