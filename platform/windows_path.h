// The text rules of Windows-style paths ("C:\ORB\CAROB\carob.log"), written
// once for every layer and both systems: the drive at the start, a colon
// that stands anywhere else, the folder part and the last component. They
// look at the text alone and never at the disk.
#pragma once

#include <string>
#include <string_view>

namespace carob::platform {

// True when the path begins with a drive ("C:", either case).
bool HasDrive(std::string_view path);
// True when a ":" stands anywhere but in the drive at the start ("C:").
// Such a name is no path on any system of the family: read as a full path
// it would resolve against the working folder ("..:\..\x" leads out of the
// family's root), so it names nothing.
bool HasStrayColon(std::string_view path);

// The last component of a path: what follows the last of `separators`, or
// the whole path when none stands in it.
std::string LastComponent(std::string_view path, std::string_view separators = "\\");
// The folder part of a path: what stands before the last of `separators`,
// except that a drive's root keeps its separator ("C:\x" lies in "C:\");
// `bare` for a path without a separator.
std::string FolderPart(std::string_view path, std::string_view separators = "\\",
                       std::string_view bare = "");

}  // namespace carob::platform
