// Edits and reads of the settings file, one table for both sides: our layer
// runs every row on every system (profile_test.cpp), the system's own profile
// functions run them on Windows (profile_win_test.cpp).
#pragma once

#include <iterator>
#include <string>
#include <vector>

#include "sjis.h"

namespace profile_cases {

struct Write {
  const char* section;
  const char* key;
  std::string value;
};

struct Read {
  const char* section;
  const char* key;
  const char* def;
  std::string want;
};

struct EditCase {
  const char* name;
  std::string before;
  std::vector<Write> writes;     // applied one by one
  std::string after;             // the file's bytes after the writes
  std::vector<Read> reads = {};  // on `after`
  // Why the system's own writes leave other bytes (nullptr: the same bytes).
  // Its reads of `after` are held to `reads` all the same.
  const char* system_writes_otherwise = nullptr;
};

// A hand-made file: comments, odd spacing, LF-only lines, [set] spelt its own
// way, and foreign sections that must come through untouched.
inline const std::string kHandMade =
    "; Kelv settings, edited by hand\n"
    "[Ports]\r\n"
    "COM1=/dev/pts/3\r\n"
    "\r\n"
    "[set]\n"
    "  Active = 2  \n"
    "port0=3\r\n"
    "; the names\r\n"
    "Name1 =Drehbank\r\n"
    "\r\n"
    "; options\r\n"
    "[File]\r\n"
    "P32013=1";

// Values written as they are, each read back with one pair of matching quotes
// around it dropped, nothing else.
inline EditCase Quotes(const std::string& caption) {
  static const char* const keys[] = {"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7", "k8"};
  const char* const written[] = {"\"Lathe 1\"", "'Lathe 1'", "\"\"",  "\"",        "\"mixed'",
                                 "a\"b\"",      "\"\"x\"\"", "plain", "  blanks  "};
  const char* const read[] = {"Lathe 1", "Lathe 1", "",      "\"",    "\"mixed'",
                              "a\"b\"",  "\"x\"",   "plain", "blanks"};
  EditCase c{"one pair of matching quotes around a value is dropped on reading, nothing else",
             "",
             {},
             "[S]\r\n",
             {},
             "the system drops the blanks around a written value, which no read returns anyway"};
  for (size_t i = 0; i < std::size(keys); ++i) {
    c.writes.push_back({"S", keys[i], written[i]});
    c.after += std::string(keys[i]) + "=" + written[i] + "\r\n";
    c.reads.push_back({"S", keys[i], "<none>", read[i]});
  }
  c.writes.push_back({"set", "Name1", caption});
  c.after += "[set]\r\nName1=" + caption + "\r\n";
  c.reads.push_back({"set", "Name1", "<none>", caption});
  return c;
}

// Quoted values as a hand-written file may hold them.
inline EditCase QuotedLines() {
  static const char* const keys[] = {"v0", "v1", "v2", "v3", "v4", "v5",
                                     "v6", "v7", "v8", "v9", "v10"};
  const char* const rest[] = {"=\"Lathe 1\"", "='Lathe 1'", " = \" padded \" ", "=\"\"",
                              "=\"",          "='",         "=\"mixed'",        "=\"a\"b\"",
                              "=\"\"x\"\"",   "=a\"b\"",    "=\"open"};
  const char* const read[] = {"Lathe 1",  "Lathe 1", " padded ", "",       "\"",    "'",
                              "\"mixed'", "a\"b",    "\"x\"",    "a\"b\"", "\"open"};
  EditCase c{"quoted values read from a hand-written file", "[S]\r\n", {}, "", {}};
  for (size_t i = 0; i < std::size(keys); ++i) {
    c.before += std::string(keys[i]) + rest[i] + "\r\n";
    c.reads.push_back({"S", keys[i], "d", read[i]});
  }
  c.after = c.before;
  return c;
}

inline const std::vector<EditCase>& EditCases() {
  // As Wine's functions do; a real Windows was not asked.
  static const char* const kRewrites =
      "the system writes the whole file again in its own layout: every line trimmed and ended "
      "by CR LF, blank lines dropped";
  static const std::string caption = kelv::Sjis("旋盤１号ﾎﾞｰﾚｰﾄ～");
  static const std::vector<EditCase> cases = {
      {"present key: value replaced on its own line, spelling and line end kept",
       kHandMade,
       {{"Set", "Active", "0"}, {"Set", "Port0", "255"}, {"SET", "NAME1", caption}},
       "; Kelv settings, edited by hand\n[Ports]\r\nCOM1=/dev/pts/3\r\n\r\n[set]\n"
       "Active=0\nport0=255\r\n; the names\r\nName1=" +
           caption + "\r\n\r\n; options\r\n[File]\r\nP32013=1",
       {{"set", "Name1", "1", caption}},
       kRewrites},
      {"missing key: added after the section's last line, before blanks and comments",
       kHandMade,
       {{"Set", "baudRate0", "6"}, {"set", "Name2", ""}},
       "; Kelv settings, edited by hand\n[Ports]\r\nCOM1=/dev/pts/3\r\n\r\n[set]\n"
       "  Active = 2  \nport0=3\r\n; the names\r\nName1 =Drehbank\r\nbaudRate0=6\r\nName2=\r\n"
       "\r\n; options\r\n[File]\r\nP32013=1",
       {},
       kRewrites},
      {"missing section: appended, the unfinished last line finished first",
       kHandMade,
       {{"Other", "k", "v"}},
       kHandMade + "\r\n[Other]\r\nk=v\r\n",
       {},
       kRewrites},
      {"key in the last section, which lacks its final line end",
       kHandMade,
       {{"file", "P32014", "0"}},
       kHandMade + "\r\nP32014=0\r\n",
       {},
       kRewrites},
      {"[SET] serves Set and set; only the first of two like-named sections counts",
       "[SET]\r\nName1=A\r\n[Set]\r\nActive=9\r\n",
       {{"set", "Name1", "B"}, {"Set", "Active", "1"}},
       "[SET]\r\nName1=B\r\nActive=1\r\n[Set]\r\nActive=9\r\n"},
      {"keys before any section belong to none",
       "Active=7\r\n[Set]\r\n",
       {{"Set", "Active", "1"}},
       "Active=7\r\n[Set]\r\nActive=1\r\n"},
      {"blanks around the names given are not part of them",
       "[Set]\r\nActive=0\r\n",
       {{" Set ", " Active\t", "5"}},
       "[Set]\r\nActive=5\r\n"},
      {"a value that is not a number is just text",
       "[Set]\r\nPort1=0x0A\r\n",
       {{"Set", "Port1", "ten"}},
       "[Set]\r\nPort1=ten\r\n"},
      {"stray lines inside a section stay in it, new keys after them",
       "[Set]\r\nno equals sign\r\n[broken\r\n[File]\r\n",
       {{"Set", "Active", "1"}},
       "[Set]\r\nno equals sign\r\n[broken\r\nActive=1\r\n[File]\r\n"},
      {"an empty file gets the section", "", {{"Set", "Active", "1"}}, "[Set]\r\nActive=1\r\n"},
      // Files in the form the program writes (name=value, CR LF, no blank
      // lines).
      {"present key replaced on its own line",
       "[Set]\r\nActive=0\r\nPort0=1\r\n",
       {{"Set", "Active", "2"}},
       "[Set]\r\nActive=2\r\nPort0=1\r\n"},
      {"missing key appended at the end of its section, before the next one",
       "[Set]\r\nActive=0\r\n[File]\r\nP32013=1\r\n",
       {{"Set", "Port0", "3"}},
       "[Set]\r\nActive=0\r\nPort0=3\r\n[File]\r\nP32013=1\r\n"},
      {"section names compared without case: [SET] takes Set and set keys",
       "[SET]\r\nName1=A\r\n",
       {{"set", "Name1", "B"}, {"Set", "Active", "1"}},
       "[SET]\r\nName1=B\r\nActive=1\r\n"},
      {"key names compared without case, the file's spelling kept",
       "[set]\r\nactive=0\r\n",
       {{"Set", "Active", "3"}},
       "[set]\r\nactive=3\r\n"},
      {"comments and foreign sections and keys kept",
       "; by hand\r\n[Other]\r\nx=1\r\n[Set]\r\nName1=a\r\nUnknown=z\r\n",
       {{"set", "Name1", "b"}},
       "; by hand\r\n[Other]\r\nx=1\r\n[Set]\r\nName1=b\r\nUnknown=z\r\n"},
      {"an empty value is written, the key stays",
       "[Set]\r\nName1=1\r\n",
       {{"set", "Name1", ""}},
       "[Set]\r\nName1=\r\n"},
      {"P32013 is untouched by a save of Set keys",
       "[File]\r\nP32013=1\r\n[Set]\r\nActive=0\r\n",
       {{"Set", "Active", "1"}, {"set", "Name1", "x"}},
       "[File]\r\nP32013=1\r\n[Set]\r\nActive=1\r\nName1=x\r\n"},
      // Reads.
      {"reading a hand-made file",
       kHandMade,
       {},
       kHandMade,
       {
           {"Set", "Active", "d", "2"},  // blanks around the value are no part of it
           {"SET", "ACTIVE", "d", "2"},
           {"Set", "Port0", "d", "3"},
           {"set", "Name1", "1", "Drehbank"},
           {"Ports", "COM1", "", "/dev/pts/3"},
           {"File", "P32013", "", "1"},  // last line without line end
           {"set", "Name2", "2", "2"},   // missing key
           {"Nowhere", "Active", "x", "x"},
           {"set", "; the names", "d", "d"},  // comments are no keys
           {"set", "the names", "d", "d"},
       }},
      {"a key present but empty is read as empty, not as the default",
       "[Set]\r\nName1=\r\nName2 = \r\n",
       {},
       "[Set]\r\nName1=\r\nName2 = \r\n",
       {{"set", "Name1", "1", ""}, {"set", "Name2", "2", ""}}},
      Quotes(caption),
      QuotedLines(),
  };
  return cases;
}

}  // namespace profile_cases
