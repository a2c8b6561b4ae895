#include "launch/setup_command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "launch/stub_arguments.h"

namespace installer {
namespace {

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// A line already holding `used` characters, so that a test can leave just
// the room it wants.
void FillLine(CommandLineString* line, uint64_t used) {
  ASSERT_TRUE(line->Copy(std::wstring(used, L'p').c_str()));
}

std::wstring Tail(const CommandLineString& line, uint64_t from) {
  return std::wstring(line.data()).substr(from);
}

TEST(BuildInstallCommandLineTest, Pieces) {
  struct Case {
    bool archive_compressed;
    const wchar_t* previous_version;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {true, nullptr,
       L"\"C:\\w\\KV_1.tmp\\setup.exe\" "
       L"--install-archive=\"C:\\w\\KV_1.tmp\\KORVEL.PACKED.7Z\""},
      {false, nullptr,
       L"\"C:\\w\\KV_1.tmp\\setup.exe\" "
       L"--uncompressed-archive=\"C:\\w\\KV_1.tmp\\KORVEL.PACKED.7Z\""},
      {true, L"",
       L"\"C:\\w\\KV_1.tmp\\setup.exe\" "
       L"--install-archive=\"C:\\w\\KV_1.tmp\\KORVEL.PACKED.7Z\" "
       L"--previous-version=\"\""},
      {false, L"71.0.3578.98",
       L"\"C:\\w\\KV_1.tmp\\setup.exe\" "
       L"--uncompressed-archive=\"C:\\w\\KV_1.tmp\\KORVEL.PACKED.7Z\" "
       L"--previous-version=\"71.0.3578.98\""},
  };
  for (const Case& c : cases) {
    CommandLineString line;
    FillLine(&line, 40);  // a stale line is started afresh
    ASSERT_TRUE(BuildInstallCommandLine(
        L"C:\\w\\KV_1.tmp\\setup.exe", L"C:\\w\\KV_1.tmp\\KORVEL.PACKED.7Z",
        c.archive_compressed, c.previous_version, &line));
    EXPECT_STREQ(line.data(), c.expected);
  }
}

TEST(BuildInstallCommandLineTest, FailsWhenAPieceDoesNotFit) {
  // Quotes, " --install-archive=\"" and the closing quote: 23 units around
  // the two paths; a version adds 22 more.
  const std::wstring setup(259, L's');
  const std::wstring archive_fits(1039 - 259 - 23, L'a');
  CommandLineString line;
  EXPECT_TRUE(BuildInstallCommandLine(setup.c_str(), archive_fits.c_str(), true,
                                      nullptr, &line));
  EXPECT_EQ(line.Length(), 1039u);
  const std::wstring archive_too_long = archive_fits + L"a";
  EXPECT_FALSE(BuildInstallCommandLine(setup.c_str(), archive_too_long.c_str(),
                                       true, nullptr, &line));
  // Too long for the version switch, even an empty one.
  EXPECT_FALSE(BuildInstallCommandLine(setup.c_str(), archive_fits.c_str(),
                                       true, L"", &line));
  const std::wstring version_fits(1039 - 259 - 100 - 23 - 22, L'v');
  EXPECT_TRUE(BuildInstallCommandLine(setup.c_str(),
                                      std::wstring(100, L'a').c_str(), true,
                                      version_fits.c_str(), &line));
  EXPECT_EQ(line.Length(), 1039u);
  EXPECT_FALSE(BuildInstallCommandLine(setup.c_str(),
                                       std::wstring(100, L'a').c_str(), true,
                                       (version_fits + L"v").c_str(), &line));
  EXPECT_LE(line.Length(), 1039u);
}

TEST(AppendReferralSwitchTest, EachPieceFitsOnItsOwn) {
  // " --telvo-referral-code" is 22 units, "=\"" 2, the closing quote 1.
  struct Case {
    uint64_t room;  // characters still free in the line
    const wchar_t* added;
  };
  const Case cases[] = {
      {100, L" --telvo-referral-code=\"ABC123\""},
      {31, L" --telvo-referral-code=\"ABC123\""},
      {30, L" --telvo-referral-code=\"ABC123"},
      {29, L" --telvo-referral-code=\"\""},  // no room for the code
      {25, L" --telvo-referral-code=\"\""},
      {24, L" --telvo-referral-code=\""},
      {23, L" --telvo-referral-code\""},
      {22, L" --telvo-referral-code"},
      // Without the name, the later pieces still go in when they fit.
      {21, L"=\"ABC123\""},
      {8, L"=\"ABC123"},
      {7, L"=\"\""},
      {2, L"=\""},
      {1, L"\""},
      {0, L""},
  };
  for (const Case& c : cases) {
    CommandLineString line;
    FillLine(&line, 1039 - c.room);
    AppendReferralSwitch(L"ABC123", &line);
    EXPECT_EQ(Narrow(Tail(line, 1039 - c.room)), Narrow(c.added))
        << "room " << c.room;
  }
}

TEST(BuildSelfUpdateCommandLineTest, PiecesAndLimit) {
  CommandLineString line;
  FillLine(&line, 10);
  ASSERT_TRUE(BuildSelfUpdateCommandLine(L"C:\\Program Files\\Telvo\\setup.exe",
                                         L"C:\\w\\KV_2.tmp\\SETUP.PATCH",
                                         L"C:\\w\\KV_2.tmp\\setup.exe", &line));
  EXPECT_STREQ(line.data(),
               L"\"C:\\Program Files\\Telvo\\setup.exe\" "
               L"--update-setup-exe=\"C:\\w\\KV_2.tmp\\SETUP.PATCH\" "
               L"--new-setup-exe=\"C:\\w\\KV_2.tmp\\setup.exe\"");

  // 1 + 22 + 19 + 1 units around the three paths.
  const std::wstring path(259, L'p');
  const std::wstring fits(1039 - 2 * 259 - 43, L'n');
  EXPECT_TRUE(BuildSelfUpdateCommandLine(path.c_str(), path.c_str(),
                                         fits.c_str(), &line));
  EXPECT_EQ(line.Length(), 1039u);
  EXPECT_FALSE(BuildSelfUpdateCommandLine(path.c_str(), path.c_str(),
                                          (fits + L"n").c_str(), &line));
}

TEST(AppendStubArgumentsTest, WhatFollowsTheProgramName) {
  struct Case {
    const wchar_t* command_line;
    const wchar_t* added;
  };
  const Case cases[] = {
      {L"\"C:\\dl\\installer.exe\"", L""},
      {L"C:\\dl\\installer.exe", L""},
      {L"\"C:\\dl\\installer.exe\" --system-level", L" --system-level"},
      {L"C:\\dl\\installer.exe --korvel-beta x", L" --korvel-beta x"},
      {L"installer.exe\t--korvel-dev", L"\t--korvel-dev"},
      {L"\"C:\\my dl\\installer.exe\"\t--a", L"\t--a"},
      {L"installer.exe   --a    \"b c\"  ", L"   --a    \"b c\"  "},
      // A quote that is never closed swallows the whole line.
      {L"\"C:\\dl\\installer.exe --system-level", L""},
      // Text right after the closing quote gets a space of its own.
      {L"\"C:\\dl\\installer.exe\"--system-level", L" --system-level"},
      {L"\"\"x", L" x"},
      {L"\"\"", L""},
      {L"", L""},
      // Only SPACE and TAB end an unquoted name.
      {L"inst\x01\x0b\x0d"
       L"aller.exe --a",
       L" --a"},
      {L"installer.exe\x0b--a", L""},
      // Quotes inside an unquoted name are part of it.
      {L"C:\\d\"l x\"\\i.exe --a", L" x\"\\i.exe --a"},
  };
  for (const Case& c : cases) {
    CommandLineString line;
    ASSERT_TRUE(line.Copy(L"\"setup\""));
    AppendStubArguments(c.command_line, &line);
    EXPECT_EQ(Narrow(Tail(line, 7)), Narrow(c.added)) << Narrow(c.command_line);
  }
}

TEST(AppendStubArgumentsTest, TooLongIsDroppedWhole) {
  const std::wstring arguments = L" --" + std::wstring(96, L'a');  // 99 units
  for (const bool quoted : {false, true}) {
    const std::wstring program = quoted ? L"\"i.exe\"" : L"i.exe";
    CommandLineString line;
    FillLine(&line, 1039 - 99);
    AppendStubArguments((program + arguments).c_str(), &line);
    EXPECT_EQ(Narrow(Tail(line, 1039 - 99)), Narrow(arguments));

    FillLine(&line, 1039 - 98);
    AppendStubArguments((program + arguments).c_str(), &line);
    EXPECT_EQ(line.Length(), 1039u - 98);
  }
  // The inserted space stays when what follows it does not fit.
  CommandLineString line;
  FillLine(&line, 1039 - 50);
  AppendStubArguments((L"\"i.exe\"" + std::wstring(50, L'x')).c_str(), &line);
  EXPECT_EQ(Narrow(Tail(line, 1039 - 50)), " ");
  // With no room even for the space, nothing is added.
  FillLine(&line, 1039);
  AppendStubArguments(L"\"i.exe\"x", &line);
  EXPECT_EQ(line.Length(), 1039u);
}

TEST(UnquoteInstalledSetupPathTest, OnlyAPairOfEnclosingQuotesGoes) {
  struct Case {
    const wchar_t* value;
    const wchar_t* path;
  };
  const Case cases[] = {
      {L"\"C:\\Program Files\\Telvo\\setup.exe\"",
       L"C:\\Program Files\\Telvo\\setup.exe"},
      {L"\"C:\\Program Files\\Telvo\\setup.exe\" --uninstall",
       L"\"C:\\Program Files\\Telvo\\setup.exe\" --uninstall"},
      {L"C:\\Telvo\\setup.exe", L"C:\\Telvo\\setup.exe"},
      {L"C:\\Telvo\\setup.exe\"", L"C:\\Telvo\\setup.exe\""},
      {L"\"C:\\Telvo\\setup.exe", L"\"C:\\Telvo\\setup.exe"},
      {L"\"", L"\""},
      {L"", L""},
      {L"\"\"", L""},
      {L"\"\"\"", L"\""},
  };
  for (const Case& c : cases) {
    PathString buffer;
    ASSERT_TRUE(buffer.Copy(c.value));
    UnquoteInstalledSetupPath(buffer.data(), kPathCapacity);
    EXPECT_EQ(Narrow(buffer.data()), Narrow(c.path));
  }
  // A value that fills the whole buffer.
  PathString buffer;
  const std::wstring inner(257, L'i');
  ASSERT_TRUE(buffer.Copy((L"\"" + inner + L"\"").c_str()));
  UnquoteInstalledSetupPath(buffer.data(), kPathCapacity);
  EXPECT_EQ(Narrow(buffer.data()), Narrow(inner));
}

}  // namespace
}  // namespace installer
