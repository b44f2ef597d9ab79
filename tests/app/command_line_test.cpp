#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/debug.h"
#include "platform/text.h"

namespace {

// What a parsed command comes to, in a form a table can hold.
struct Expected {
  uint8_t type;
  std::u16string path;  // update and backup
  uint32_t number;      // reset
  int32_t unattended;

  friend bool operator==(const Expected&, const Expected&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Expected& e) {
    return out << "{type " << int{e.type} << ", path '" << Utf16ToUtf8(e.path) << "', number " << e.number
               << ", unattended " << e.unattended << "}";
  }
};

Expected Update(std::u16string path) { return {CommandUpdate, std::move(path), 0, 1}; }
Expected Backup(std::u16string path) { return {CommandBackup, std::move(path), 0, 1}; }
Expected Save(int32_t unattended) { return {CommandSaveRegistry, u"", 0, unattended}; }
Expected Clear(int32_t unattended) { return {CommandClearRegistry, u"", 0, unattended}; }
Expected Reset(uint32_t number) { return {CommandReset, u"", number, 0}; }

struct Parsed {
  int result;
  std::u16string lowered;
  std::vector<Expected> commands;
  std::string debug;
};

Parsed Parse(const std::u16string& line) {
  CommandTableResetForTests();
  std::u16string buffer = line;
  Parsed parsed;
  DebugSetCaptureSink(&parsed.debug);
  parsed.result = ParseCommandLine(buffer.data());
  DebugReset();
  parsed.lowered = buffer;
  for (uint32_t i = 0; i < g_commandTable.count; i++) {
    const ShellCommand& c = g_commandTable.commands[i];
    bool hasPath = c.type == CommandUpdate || c.type == CommandBackup;
    parsed.commands.push_back({c.type, hasPath ? std::u16string(c.path) : u"", c.type == CommandReset ? c.number : 0,
                               c.unattended});
  }
  return parsed;
}

struct Case {
  std::u16string line;
  std::vector<Expected> commands;
};

TEST(ParseCommandLine, SwitchesBecomeCommands) {
  const Case cases[] = {
      {u"/FU /u \\Hard Disk\\NK.bin /rc1000", {Save(1), Update(u"\\hard disk\\nk.bin"), Reset(1000)}},
      {u"", {}},
      {u" /fu", {}},
      {u"/f/c", {Save(0), Clear(0)}},
      {u"/u a.bin/fu", {Update(u"a.bin"), Save(1)}},
      {u"/U \\Temp\\NK.BIN", {Update(u"\\temp\\nk.bin")}},
      {u"/u/f", {Update(u"f")}},
      {u"/u  \\a.bin  /r", {Update(u" \\a.bin"), Reset(0)}},
      {u"/u:x.bin", {Update(u"x.bin")}},
      {u"/uxyz.bin", {Update(u"yz.bin")}},
      {u"/b \\USB HD\\IMAGES\\all.bin", {Backup(u"\\usb hd\\images\\all.bin")}},
      {u"/u", {Update(u"")}},
      {u"/b ", {Backup(u"")}},
      {u"/fux", {Save(1)}},
      {u"/fxu", {Save(0)}},
      {u"/cu /c", {Clear(1), Clear(0)}},
      {u"/r", {Reset(0)}},
      {u"/r5000", {Reset(0)}},
      {u"/rc0", {Reset(0)}},
      {u"/rcx", {Reset(0)}},
      {u"/rc", {Reset(1)}},
      {u"/rc500", {Reset(500)}},
      {u"/rc 500", {Reset(1)}},
      {u"/rc/f", {Reset(1), Save(0)}},
      {u"/rc+250", {Reset(250)}},
      {u"/rc-5", {Reset(1)}},
      {u"/rc99999999999", {Reset(0x7FFFFFFF)}},
      {u"/f some words /c", {Save(0), Clear(0)}},
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse(c.line);
    EXPECT_EQ(parsed.result, 1) << Utf16ToUtf8(c.line);
    EXPECT_EQ(parsed.commands, c.commands) << Utf16ToUtf8(c.line);
    EXPECT_TRUE(parsed.debug.empty()) << Utf16ToUtf8(c.line);
  }
}

TEST(ParseCommandLine, LowerCasesTheWholeLineInPlace) {
  EXPECT_TRUE(Parse(u"/U \\Temp\\NK.BIN /RC500").lowered == u"/u \\temp\\nk.bin /rc500");
  EXPECT_TRUE(Parse(u"Hello /F").lowered == u"hello /f") << "even a line without commands";
}

TEST(ParseCommandLine, UnknownSwitchStopsWithTheDebugLine) {
  Parsed parsed = Parse(u"/fu /x /c");
  EXPECT_EQ(parsed.result, 0);
  EXPECT_EQ(parsed.commands, std::vector<Expected>{Save(1)});
  EXPECT_EQ(parsed.debug, "WARNING: Flashwright.exe: Unknown Command parameter: x\n\r");

  parsed = Parse(u"/X");
  EXPECT_EQ(parsed.result, 0);
  EXPECT_TRUE(parsed.commands.empty());
  EXPECT_EQ(parsed.debug, "WARNING: Flashwright.exe: Unknown Command parameter: x\n\r") << "lower-cased first";
}

TEST(ParseCommandLine, AtMostTwentyCommands) {
  std::u16string line;
  for (int i = 0; i < 21; i++) line += u"/f ";
  Parsed parsed = Parse(line + u"/x");
  EXPECT_EQ(parsed.result, 1) << "the rest of the line is ignored, unknown switches too";
  EXPECT_EQ(parsed.commands.size(), SHELL_MAX_COMMANDS);
  EXPECT_TRUE(parsed.debug.empty());
}

TEST(ParseCommandLine, FileNamesThatDoNotFitFailTheirSwitch) {
  // The longest name leaves room for its terminator; one more and the
  // terminator would land on the command's type.
  for (size_t length : {size_t{MAX_PATH - 1}, size_t{MAX_PATH}, size_t{MAX_PATH + 1}}) {
    for (std::u16string letter : {u"u", u"b"}) {
      std::u16string name(length, u'a');
      CommandTableResetForTests();
      std::u16string line = u"/" + letter + u" " + name + u" /f";
      ParseCommandLine(line.data());
      ASSERT_EQ(g_commandTable.count, 2u);
      const ShellCommand& c = g_commandTable.commands[0];
      bool fits = length < MAX_PATH;
      EXPECT_EQ(c.type, letter == u"u" ? CommandUpdate : CommandBackup) << length;
      EXPECT_EQ(c.nameTooLong, !fits) << length;
      EXPECT_TRUE(std::u16string(c.path) == (fits ? name : u"")) << length;
    }
  }
}

}  // namespace
