#include "launch/referral_code.h"

#include <gtest/gtest.h>

#include <string>

namespace installer {
namespace {

// The code derived from `path`, or "<none>"; checks on the way that a
// refusal leaves the caller's emptied buffer empty.
std::wstring Derive(const std::wstring& path) {
  PathString saved;
  EXPECT_TRUE(saved.Copy(path.c_str()));
  ShortString code;
  code.Clear();
  if (!DeriveReferralCode(saved.data(), &code)) {
    EXPECT_TRUE(code.IsEmpty());
    return L"<none>";
  }
  return code.data();
}

TEST(DeriveReferralCodeTest, SavedFileNames) {
  struct Case {
    const wchar_t* file_name;
    const wchar_t* code;
  };
  const Case cases[] = {
      {L"Installer-abc123.exe", L"ABC123"},
      {L"Installer-abc123 (1).exe", L"ABC123"},
      {L"Installer-ABC123(12).exe", L"ABC123"},
      {L"Installer-abc123 ().exe", L"ABC123"},
      {L"Installer-abc123", L"ABC123"},
      {L"-abc123.exe", L"ABC123"},
      {L"Installer-abc123  .exe", L"ABC123"},
      {L"Installer-acme-summer-abc123.exe", L"ABC123"},
      {L"Installer-acme-summer.exe", L"acme-summer"},
      {L"Installer-Acme-Summer (3).exe", L"Acme-Summer"},
      {L"a-b-c.exe", L"b-c"},
      {L"x--y.exe", L"-y"},
      {L"Installer-ref-.exe", L"ref-"},
      {L"Installer-ab1234.exe", L"<none>"},
      {L"Installer-abc1234.exe", L"<none>"},
      {L"Installer-abc123.tar.gz", L"<none>"},
      {L"Installer-abc123 (1) .exe", L"<none>"},
      {L"Installer-abc123 (1)(2).exe", L"<none>"},
      {L"Installer-abc123 (a).exe", L"<none>"},
      {L"Installer-acme-summer2.exe", L"<none>"},
      {L"Installer-abc123-acme.exe", L"<none>"},
      {L"Installer-abc123\t.exe", L"<none>"},
      {L".exe", L"<none>"},
  };
  for (const Case& c : cases) {
    // Only the part after the last backslash counts, wherever it sits.
    for (const wchar_t* folder :
         {L"", L"C:\\Downloads\\", L"D:\\x-abc123.d\\acme-summer\\"}) {
      const std::wstring path = std::wstring(folder) + c.file_name;
      EXPECT_EQ(Derive(path), c.code) << std::string(path.begin(), path.end());
    }
  }
}

TEST(DeriveReferralCodeTest, PathsThatAreNotPlainFileNames) {
  // No file name at all.
  EXPECT_EQ(Derive(L"C:\\Downloads\\Installer-abc123\\"), L"<none>");
  // A forward slash is an ordinary character, so the path is one name...
  EXPECT_EQ(Derive(L"D:/dl/Installer-abc123.exe"), L"ABC123");
  // ...and a dot in a folder is then taken for the extension.
  EXPECT_EQ(Derive(L"D:/dl.v2/Installer-abc123"), L"<none>");
  EXPECT_EQ(Derive(L"D:/dl-acme.v2/Installer-abc123"), L"<none>");
  // The counter must end the name; a leading one stays.
  EXPECT_EQ(Derive(L"(1)Installer-abc123.exe"), L"ABC123");
}

TEST(DeriveReferralCodeTest, OnlyAsciiLettersAndDigitsCount) {
  EXPECT_EQ(Derive(L"Installer-\u00e0bc123.exe"), L"<none>");
  EXPECT_EQ(Derive(L"Installer-abc12\u0663.exe"), L"<none>");  // Arabic 3
  EXPECT_EQ(Derive(L"Installer-abc\uff11\uff12\uff13.exe"), L"<none>");
  EXPECT_EQ(Derive(L"Installer-acme-s\u00fcmmer.exe"), L"<none>");
  // Neighbours of the ASCII ranges.
  EXPECT_EQ(Derive(L"Installer-ab@123.exe"), L"<none>");
  EXPECT_EQ(Derive(L"Installer-ab[123.exe"), L"<none>");
  EXPECT_EQ(Derive(L"Installer-ab`123.exe"), L"<none>");
  EXPECT_EQ(Derive(L"Installer-ab{123.exe"), L"<none>");
  EXPECT_EQ(Derive(L"Installer-abc/12.exe"), L"<none>");
  EXPECT_EQ(Derive(L"Installer-abc12:.exe"), L"<none>");
  EXPECT_EQ(Derive(L"Installer-zZa909.exe"), L"ZZA909");
}

TEST(DeriveReferralCodeTest, HyphenatedTailMustFitTheCode) {
  // The tail after the next-to-last hyphen: 127 units fit, 128 do not.
  const std::wstring fits =
      std::wstring(63, L'a') + L"-" + std::wstring(63, L'b');
  ASSERT_EQ(fits.size(), 127u);
  EXPECT_EQ(Derive(L"C:\\Installer-" + fits + L".exe"), fits);
  const std::wstring too_long = fits + L"b";
  EXPECT_EQ(Derive(L"C:\\Installer-" + too_long + L".exe"), L"<none>");
}

TEST(MatchLetterDigitCodeTest, RefusalLeavesTheOutputAlone) {
  ShortString code;
  ASSERT_TRUE(code.Copy(L"previous"));
  for (const wchar_t* name :
       {L"abc123", L"-abc12", L"-abc1234", L"-ab1234", L"x-abc123-"}) {
    EXPECT_FALSE(MatchLetterDigitCode(name, &code));
    EXPECT_STREQ(code.data(), L"previous");
  }
  EXPECT_TRUE(MatchLetterDigitCode(L"a-b-qRs007", &code));
  EXPECT_STREQ(code.data(), L"QRS007");
}

TEST(MatchHyphenatedTailTest, RefusalsAndTheTooLongTail) {
  ShortString code;
  ASSERT_TRUE(code.Copy(L"previous"));
  // One hyphen only, a hyphen that opens the name, a digit in the tail.
  for (const wchar_t* name :
       {L"acme-summer", L"-acme", L"a-b-c1", L"a-b c-d"}) {
    EXPECT_FALSE(MatchHyphenatedTail(name, &code));
    EXPECT_STREQ(code.data(), L"previous");
  }
  EXPECT_TRUE(MatchHyphenatedTail(L"--", &code));
  EXPECT_STREQ(code.data(), L"-");

  // Too long: the failed copy empties the output.
  ASSERT_TRUE(code.Copy(L"previous"));
  const std::wstring name = L"x-" + std::wstring(127, L'a') + L"-";
  EXPECT_FALSE(MatchHyphenatedTail(name.c_str(), &code));
  EXPECT_TRUE(code.IsEmpty());
}

}  // namespace
}  // namespace installer
