// Files and folders. Include <corekit/corekit.h> rather than this header.
//
// Paths are POSIX paths ('/' separates folders). A mask may hold '*' and '?' in its last
// component; matching is case-sensitive, and a mask ending in ".*" also matches names without a
// dot, so "*.*" matches every name. Searches never report "." and "..". None of these functions
// raises: failures give false, -1, 0 or the empty string.
#pragma once

#include <corekit/types.h>

#include <cstdint>

/// A 128-bit folder identifier.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];

    friend bool operator==(const GUID &, const GUID &) = default;
};

/// The user's desktop folder (the XDG desktop folder).
inline constexpr GUID FOLDERID_Desktop = {
    0xB4BFCC3A, 0xDB2C, 0x424C, {0xB0, 0x29, 0x7F, 0xE9, 0x9A, 0x87, 0xC6, 0x41}};
/// The machine-wide program-data folder (/var/lib).
inline constexpr GUID FOLDERID_ProgramData = {
    0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};
/// The system folder (/usr).
inline constexpr GUID FOLDERID_Windows = {
    0xF38BF404, 0x1D43, 0x42F2, {0x93, 0x05, 0x67, 0xDE, 0x0B, 0x28, 0xFC, 0x23}};

/// folder + '/' + name; no '/' is inserted when folder already ends in one. An empty folder
/// gives name unchanged.
UnicodeString F_GetPathName(const UnicodeString &folder, const UnicodeString &name);

/// With a '/' in file: whether folder occurs in file, both lower-cased (a plain substring test).
/// Otherwise whether folder/file exists as a file (links followed; a folder does not count).
bool F_IsInDir(const UnicodeString &file, const UnicodeString &folder);

/// The size of an existing regular file (links followed), -1 when there is none or on failure.
long long F_GetFileSize(const UnicodeString &path);

/// Whether at least one entry matching mask is not a folder.
bool F_FileExists(const UnicodeString &mask);

/// The number of entries matching mask that are not folders.
int F_NFileExists(const UnicodeString &mask);

/// F_FileExists(folder + '/' + mask).
bool F_HasFolderFiles(const UnicodeString &folder, const UnicodeString &mask);

/// Whether folder holds a sub-folder whose name does not begin with '.'.
bool F_HasSubFolders(const UnicodeString &folder);

/// True unless folder holds a file or a sub-folder as F_HasFolderFiles / F_HasSubFolders see them.
bool F_IsFolderEmpty(const UnicodeString &folder);

/// Copies source to target folder/<file name of source>, replacing a file of that name.
bool F_CopyFile(const UnicodeString &source, const UnicodeString &targetFolder);

/// Deletes a folder (or file) with everything in it, permanently. A mask in the last component
/// deletes every matching entry, and matching entries in sub-folders too. The flag steers
/// nothing on Linux (no windows are shown either way).
bool F_DeleteDirectory(const UnicodeString &folder, bool silent);
bool F_DeleteDirectories(const UnicodeString &folderOrPattern, bool silent);

/// Deletes everything inside folder and keeps the folder. folder may instead end in a mask
/// ("/tmp/x/*.bak"): then matching entries go, in sub-folders too. filesOnly keeps every folder
/// and deletes only the files.
bool F_ClearDirectory(const UnicodeString &folder, bool filesOnly, bool silent);

/// Copies the content of source folder (or what a mask in it matches) into target folder,
/// creating the target; existing files are replaced. filesOnly copies files only (from
/// sub-folders too, into the same relative places). The last argument is not consulted.
bool F_CopyDirFiles(const UnicodeString &source, const UnicodeString &target, bool filesOnly, bool unused);

/// Deletes every file or folder matching pattern, in sub-folders of its folder too.
bool F_DeleteFiles(const UnicodeString &pattern);

/// Copies source folder itself, with its content, to target/<name of source>, creating target.
/// The flag is not consulted.
bool F_CopyDirectory(UnicodeString source, UnicodeString target, bool unused);

/// Renames (moves) oldPath to newPath. False, changing nothing, when the two are equal after
/// lower-casing, when newPath exists, or when the rename fails.
bool F_RenameDirectory(const UnicodeString &oldPath, const UnicodeString &newPath);

/// Starts program (looked up in PATH when it holds no '/') with parameters split into words as
/// a shell splits them (quotes and backslashes; no expansion, no shell is run), detached from
/// this process. False when the parameters cannot be split or the program cannot be started.
bool F_RunApp(const UnicodeString &program, const UnicodeString &parameters);

/// Opens a document (or a URL) with the viewer the desktop registered for it (xdg-open).
/// False for a missing document or when the opener cannot be started.
bool F_OpenRegistDoc(const UnicodeString &document);
/// The same for plain-text, bitmap and rich-text documents.
bool F_OpenAsciiDoc(const UnicodeString &document);
bool F_OpenBmpDoc(const UnicodeString &document);
bool F_OpenRtfDoc(const UnicodeString &document);

/// The path of a known folder; empty for an unknown one.
UnicodeString F_GetWinFolder(const GUID &id);
/// The user's desktop folder.
UnicodeString F_GetMyComputerFolder();
/// The machine-wide program-data folder.
UnicodeString F_GetProgramDataFolder();
/// The root of the system disc: "/".
UnicodeString F_GetSysDisc();
