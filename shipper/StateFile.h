#pragma once
// The places on disk. Written whole: a new file beside the old, flushed,
// then moved over it with replace and write-through, so that a crash or a
// power cut leaves the old places or the new, never a torn file. Read
// defensively: a file that is not whole (its count and checksum at the
// end) or not ours is reported, never taken in part.
//
//   VardelShipper places 1
//   NAME TAB VOLUME TAB INDEX TAB PLACE TAB TAIL TAB SEEN      (one a file)
//   end TAB COUNT TAB CHECKSUM                                  (FNV-1a 64 of the lines above, hex)

#include "PlaceRegistry.h"

#include <string>

namespace Vardel::Shipper {

std::string FormatState(const CPlaceRegistry& registry);
// False, with why, when text is not a whole state file of ours; registry
// is then left empty.
bool ParseState(const std::string& text, CPlaceRegistry& registry, std::string& why);

enum class LoadResult { Loaded, Missing, Unreadable };
// Unreadable: why says what is wrong, and the file is moved aside to
// PATH.bad so that the next save does not hide it.
LoadResult LoadState(const std::string& path, CPlaceRegistry& registry, std::string& why);
// False, with why, when the new file could not be written or moved; the
// old one then stands.
bool SaveState(const std::string& path, const CPlaceRegistry& registry, std::string& why);

} // namespace Vardel::Shipper
