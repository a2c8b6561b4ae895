// The referral code carried in the file name under which a stub installer
// was saved, such as "Installer-abc123 (1).exe". No code is never an error:
// it only means that setup gets no referral switch.
//
// Pure text code: no Windows header, so that it also builds natively with a
// 16-bit wchar_t for fuzzing.
#ifndef LAUNCH_REFERRAL_CODE_H_
#define LAUNCH_REFERRAL_CODE_H_

#include "support/bounded_string.h"

namespace installer {

// Reduces the file name of `saved_installer_path` (a 260-unit text) by its
// folders, its last extension, one trailing download counter "(n)" and
// trailing spaces, then tries the letter-digit form and the hyphenated
// tail, in that order. The caller empties `referral_code` first; it receives
// a code only when the result is true.
bool DeriveReferralCode(const wchar_t* saved_installer_path,
                        ShortString* referral_code);

// A name ending in a hyphen, three ASCII letters and three ASCII digits: the
// six characters with the letters upper-cased. On false the output is not
// touched.
bool MatchLetterDigitCode(const wchar_t* name, ShortString* referral_code);

// A name ending in two hyphen-joined words of ASCII letters (either may be
// empty), each after a hyphen: everything after the next-to-last hyphen,
// case kept. A tail too long for the output leaves it empty; any other
// refusal leaves it untouched.
bool MatchHyphenatedTail(const wchar_t* name, ShortString* referral_code);

}  // namespace installer

#endif  // LAUNCH_REFERRAL_CODE_H_
