// listkit: file lists, file times and version information (the F_ family of listkit).
// Include <listkit/listkit.h> rather than this header.
//
// Masks are POSIX paths with '*' and '?' in the last component only; matching is
// case-sensitive, and "*.*" (or any mask ending in ".*") also takes names without a dot.
// Nothing here throws: failures come back as false, 0 or the empty string.
#pragma once

#include <corekit/types.h>

#include <vector>

/// Creation ('C'), last-access ('A') or last-write ('M') time of a file as local time.
/// Any other selector, or a file that cannot be queried, returns false and leaves `time`
/// unchanged. Where the file system keeps no creation time, 'C' gives the time of the last
/// change of the file's status.
bool F_GetFileTime(const UnicodeString &path, TDateTime &time, char selector);

/// The same for a folder.
bool F_GetDirTime(const UnicodeString &path, TDateTime &time, char selector);

/// Folder part of the mask followed by the first matching file's name, in directory order;
/// empty when nothing matches.
UnicodeString F_GetFirstFile(const UnicodeString &mask);

/// Lists the files (never folders) matching the mask: "name[/dd.mm.yyyy hh:nn:ss][/size[ K]]",
/// size being floor(bytes / 1024) + 1. A mask "pattern|TEXT" leaves out names whose upper-cased
/// form contains TEXT (upper-cased too). When nothing matches, returns 0 and leaves `list` as it
/// was; otherwise replaces `list` and returns the number of entries.
int F_GetFileList(const UnicodeString &mask, std::vector<UnicodeString> &list, bool withTime, bool withSize,
                  bool withUnit);

/// Empties `list`, then lists the folders matching the mask whose names do not start with '.',
/// each optionally followed by "/" and its creation time. Returns the number of entries.
int F_GetFolderList(const UnicodeString &mask, std::vector<UnicodeString> &list, bool withTime);

/// Reads the version information of a Windows executable (its version resource) or of one of
/// our own programs (the block the build writes into it). Empties `list`; when the file has a
/// block with a translation, `list` gets exactly ten values, empty where missing, in this order:
/// CompanyName, FileDescription, FileVersion, InternalName, LegalCopyright, LegalTradeMarks,
/// OriginalFileName, ProductName, ProductVersion, Comments. Returns true when at least one of
/// them was found.
bool F_GetVersionInfo(const UnicodeString &path, std::vector<UnicodeString> &list);
