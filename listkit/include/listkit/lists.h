// Sv_: string lists, list files, CSV lines of integers and scrambled text files.
// Include <listkit/listkit.h> rather than this header.
//
// Encoding of list files: UTF-8 without a byte-order mark, read and written as bytes through
// the stdio stream whatever the process locale is (Cyrillic text round-trips under the C
// locale too). Each line ends with a single line feed; a carriage return before it is read
// as trailing white space and dropped. Invalid UTF-8 bytes read back as U+FFFD.
//
// Scrambled files are binary and little-endian: a 32-bit count N followed by N 16-bit codes.
#pragma once

#include <corekit/corekit.h>

#include <cstdio>
#include <vector>

// ---- Lists and list files -------------------------------------------------------------------

/// Writes every string followed by a line feed. Stops at the first write error and returns
/// false; an empty list writes nothing and returns true.
bool Sv_SaveToStream(const std::vector<UnicodeString> &list, FILE *stream);

/// Empties the list, then appends one entry per line read, trailing characters up to U+0020
/// removed. A line longer than maxLineLength - 1 characters arrives as several entries.
/// True when at least one entry was read. A maxLineLength below 2 reads nothing (false).
bool Sv_LoadFromStream(std::vector<UnicodeString> &list, FILE *stream, int maxLineLength);

/// Writes the list to the file (created or truncated), one string per line. False when the
/// file cannot be opened or written completely.
bool Sv_SaveToFile(const std::vector<UnicodeString> &list, const UnicodeString &path);

/// Reads the file as Sv_LoadFromStream does. A file that cannot be opened gives false and
/// leaves the list as it was.
bool Sv_LoadFromFile(std::vector<UnicodeString> &list, const UnicodeString &path, int maxLineLength);

/// Empties the list, then appends the non-empty pieces of text between any of the delimiter
/// characters, in order and untrimmed: "a,,b," at "," gives "a", "b".
void Sv_StrToList(const UnicodeString &text, const UnicodeString &delimiters,
                  std::vector<UnicodeString> &list);

// ---- CSV lines of integers ------------------------------------------------------------------

/// The values in decimal joined by single commas ("1,-2,30"); empty for an empty list.
UnicodeString Sv_IntVectToCsv(const std::vector<int> &list);

/// Empties the list and appends the value of every non-empty comma-separated field, blanks
/// around a field ignored. Stops at the first field that is not an integer and returns false,
/// keeping the values before it.
bool Sv_CsvToIntVect(const UnicodeString &text, std::vector<int> &list);

// ---- Scrambled text files -------------------------------------------------------------------
// Each character c becomes the 16-bit code 10 * c + k, k = (key * key) mod 16384. Characters
// up to U+0666 (ASCII, Latin, Cyrillic) survive the round trip with any key; higher ones come
// back altered. This only hides text from a text editor; it is not encryption.

/// Replaces codes with the scrambled codes of text.
void Sv_Encrypt(const UnicodeString &text, std::vector<short> &codes, short key);

/// Replaces text with the characters unscrambled from codes.
void Sv_Decrypt(UnicodeString &text, const std::vector<short> &codes, short key);

/// Writes the scrambled text to the file (created or truncated). False when the file cannot
/// be opened or written completely; a failed save may leave a partial file.
bool Sv_SaveEncrypted(const UnicodeString &text, short key, const UnicodeString &path);

/// Reads a scrambled file. False, text unchanged, when the file cannot be opened or is
/// shorter than its count promises. A wrong key is not detected.
bool Sv_LoadEncrypted(UnicodeString &text, short key, const UnicodeString &path);

/// Saves the strings joined by line feeds. False, nothing written, for an empty list.
bool Sv_SaveEncrypted(const std::vector<UnicodeString> &list, short key, const UnicodeString &path);

/// Loads the text and splits it at line feeds; empty lines do not come back. False, list
/// unchanged, when the file cannot be read.
bool Sv_LoadEncrypted(std::vector<UnicodeString> &list, short key, const UnicodeString &path);
