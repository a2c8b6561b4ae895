// Whether the run holds more rights than the user's own programs, which can
// change its environment, its per-user registry values and the files of the
// user's folders.
#ifndef SUPPORT_ELEVATION_H_
#define SUPPORT_ELEVATION_H_

namespace installer {

// True when the process token's integrity level is high or above, as an
// elevated administrator's is (or any administrator's where UAC is off):
// programs of the same user at medium integrity can then neither write to
// objects labelled high nor reach the process. False when the level cannot
// be read.
bool RunsElevated();

}  // namespace installer

#endif  // SUPPORT_ELEVATION_H_
