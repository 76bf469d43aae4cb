// The keys of a phone's mapping in its property file ("properties.dat"). A note's keys are a
// prefix followed directly by its file name or the phone's LUID ("filetime:" + "shopping.txt").
// The texts are kept exactly as they are: existing property files are read by them.
#pragma once

namespace vt::keys {

// Counters.
inline constexpr char16_t kLastSyncNum[] = u"LastSyncNum";
inline constexpr char16_t kNextLocalLuid[] = u"NextLocalLuid";

// + file name: the phone's LUID of the note in that file.
inline constexpr char16_t kPcFileName[] = u"pcfilename:";
// + LUID: the file that holds that phone note.
inline constexpr char16_t kLuid2File[] = u"luid2file:";
// + LUID: the anchor number when the note was last exchanged.
inline constexpr char16_t kLuid2SyncNo[] = u"luid2syncno:";
// + LUID: the note reached the PC by a phone Add.
inline constexpr char16_t kLuidAdded[] = u"luid_added:";
// + file name: the file's last-write time at the last exchange.
inline constexpr char16_t kFileTime[] = u"filetime:";
// + file name: the PC's version was sent and acknowledged.
inline constexpr char16_t kPcModified[] = u"pcmodified:";
// + file name: never set, only removed (files of older versions may hold it).
inline constexpr char16_t kLocalAdded[] = u"localAdded:";

}  // namespace vt::keys
