// Registry values under HKEY_LOCAL_MACHINE\SOFTWARE and two system facts.
// Include <corekit/corekit.h> rather than this header.
//
// The registry is one text file in the .reg format ("Windows Registry Editor Version 5.00",
// [HKEY_LOCAL_MACHINE\SOFTWARE\...] sections, "Name"="value" and hex: lines), UTF-8 on disk.
// Its path is $KORVEL_REGISTRY, else /var/lib/korvel/registry.reg. A section header means the
// key exists (and so do the keys above it); the RG_ functions never create keys, only the
// administrator command korvel-reg does. Key paths and value names compare case-insensitively.
// A write holds the lock on "<store>.lock" (for at most a few seconds' wait) and replaces the
// whole file atomically, so a crash leaves the old or the new file, never a mix, and a reader
// needs no lock. A store file that cannot be parsed reads as a store without keys and is never
// written over.
#pragma once

#include <corekit/types.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

/// Raised by the registry layer for a value that exists but cannot be read or written as asked:
/// a value of another type, a binary value larger than the caller's buffer, a refused write.
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The string value `name` of HKEY_LOCAL_MACHINE\SOFTWARE\[WOW6432Node\]key. A missing key or
/// value, or an unreadable store, gives the empty string. Raises ERegistryException when the
/// value exists but is not a string.
UnicodeString RG_GetRegString(const UnicodeString &key, const UnicodeString &name, bool wow6432);

/// Writes (creates or replaces) the string value `name` in an existing key. False when the key
/// does not exist or the store cannot be opened for writing (missing rights, damaged store).
/// Raises ERegistryException when the new store file cannot be written out, or when the name
/// holds a control character, which the store file cannot keep.
bool RG_SetRegString(const UnicodeString &key, const UnicodeString &name, const UnicodeString &value,
                     bool wow6432);

/// Reads the binary value of the key SOFTWARE\[WOW6432Node\]name. The value's name is the name
/// argument itself, as given (for "Vendor\App" the value "Vendor\App" in key Vendor\App), for
/// reading and writing alike. Returns the number of bytes copied into buffer; 0 for a missing
/// key or value. Raises ERegistryException when the value is larger than size bytes or is not
/// binary.
int RG_GetRegBin(const UnicodeString &name, void *buffer, int size, bool wow6432);

/// Writes size bytes of data as the binary value described at RG_GetRegBin. False when the key
/// does not exist, size is negative or the store cannot be opened for writing.
bool RG_SetRegBin(const UnicodeString &name, const void *data, int size, bool wow6432);

/// The number of logical processors the system has online, at most 32 (at least 1).
int SI_GetNumOfCores32();

/// The serial number of the system volume: the low 32 bits of the file-system id of the root
/// of the system disc (F_GetSysDisc). 0 when the query fails.
uint32_t SI_GetVolumeSN();

namespace korvel::reg {

/// Value types, numbered as the registry numbers them.
enum ValueType : uint32_t {
    RegNone = 0,
    RegSz = 1,
    RegExpandSz = 2,
    RegBinary = 3,
    RegDword = 4,
    RegMultiSz = 7,
};

/// One value: its name (empty for the default value), type and raw data as the registry keeps
/// it (strings as UTF-16LE with a terminating zero).
struct Value {
    UnicodeString name;
    uint32_t type = RegSz;
    std::vector<uint8_t> data;

    static Value string(const UnicodeString &name, const UnicodeString &text, uint32_t type = RegSz);
    static Value binary(const UnicodeString &name, const void *bytes, std::size_t size);
    static Value dword(const UnicodeString &name, uint32_t v);
    /// The text of a string value (RegSz, RegExpandSz), nullopt for another type.
    std::optional<UnicodeString> text() const;
};

/// What a key holds: its values in stored order and the names of its direct subkeys.
struct KeyListing {
    UnicodeString path; ///< the key's full path as stored, e.g. HKEY_LOCAL_MACHINE\SOFTWARE\Ardentis
    std::vector<Value> values;
    std::vector<UnicodeString> subkeys;
};

enum class Status {
    Ok,
    NotFound, ///< the key (or value) does not exist
    Damaged,  ///< the store file cannot be parsed; it is left untouched
    IoError,  ///< the store cannot be read or written
    BadName,  ///< a key path or value name the store cannot keep
    Busy,     ///< another program holds the store's lock; the write was given up
};

/// What an operation on the store came to: its status and, unless it is Ok, a message for
/// people saying what went wrong. Converts to its Status, so it compares with one.
struct Result {
    Status status = Status::Ok;
    std::string message;

    Result() = default;
    Result(Status s, std::string text = {}) : status(s), message(std::move(text)) {}
    bool ok() const { return status == Status::Ok; }
    operator Status() const { return status; }
};

/// The store file in use: $KORVEL_REGISTRY, else /var/lib/korvel/registry.reg.
std::string storePath();

/// Full paths are "HKEY_LOCAL_MACHINE\SOFTWARE\..." (case-insensitive, trailing backslashes
/// ignored). A path may hold at most 512 levels of at most 255 characters each, and no control
/// character; a value name at most 16,383 characters. The functions below never raise.
Result keyExists(const UnicodeString &fullPath);
/// Creates the key (and its file and folder when the store does not exist yet). Ok when the
/// key already exists.
Result createKey(const UnicodeString &fullPath);
/// Deletes the key with its values and every subkey.
Result deleteKey(const UnicodeString &fullPath);
Result deleteValue(const UnicodeString &fullPath, const UnicodeString &name);
/// Sets a value, creating the key when createMissingKey is true (else NotFound).
Result setValue(const UnicodeString &fullPath, const Value &value, bool createMissingKey);
Result getValue(const UnicodeString &fullPath, const UnicodeString &name, Value &out);
Result listKey(const UnicodeString &fullPath, KeyListing &out);
/// The key and every key below it, parents before their subkeys and subkeys in stored order,
/// from one read of the store.
Result listTree(const UnicodeString &fullPath, std::vector<KeyListing> &out);

/// "HKEY_LOCAL_MACHINE\SOFTWARE\" + ("WOW6432Node\" if wow6432) + key.
UnicodeString machineSoftwarePath(const UnicodeString &key, bool wow6432);

} // namespace korvel::reg
