#pragma once
// Settings kept as string values under Ardentis\Korvel in the machine-wide registry branch.
// The view (native or 32-bit) is chosen anew for every access: the 32-bit view when its
// "HeadProgram" value is not empty.

#include <corekit/corekit.h>

#include <cstdint>

/// Registry key of the suite, relative to the software branch.
inline const UnicodeString KORVEL_REG_KEY = u"Ardentis\\Korvel";

/// Reads a value from the chosen view; empty when the key or value is missing.
UnicodeString ReadSetting(const UnicodeString &name);
/// Writes a value into the chosen view; false when the key is missing or not writable.
bool WriteSetting(const UnicodeString &name, const UnicodeString &text);

/// The master's timing numbers and port.
struct TMstSettings {
    std::uint16_t auditPeriod = 180; ///< seconds; audit timer and keep-alive interval
    std::uint16_t second = 120;      ///< kept and written back
    std::uint16_t third = 480;       ///< kept and written back
    std::uint16_t gracePeriod = 180; ///< seconds added to the audit period for the timeout
    std::uint16_t port = 52100;
};

void MstSetDefaults(TMstSettings &s);
/// Loads "Master" and "Port"; any failure gives the defaults for all five fields.
/// Returns true when the stored values were taken.
bool MstSetLoad(TMstSettings &s);
/// Writes "Master" (e.g. b4h78m1e0sb4) and "Port". A value that is not kept (other than for a
/// missing key) is named on stderr with the reason; nothing is raised.
void MstSetSave(const TMstSettings &s);
/// The "Master" text of a record, lower-case hexadecimal joined by h, m and s.
UnicodeString MstSetMasterText(const TMstSettings &s);

/// Where the master's read-only HTTP side (status page, JSON, metrics) listens.
struct THttpSettings {
    UnicodeString address = u"127.0.0.1"; ///< loopback unless an administrator opens it
    std::uint16_t port = 52180;           ///< 0 turns the HTTP side off
};

/// Loads "HttpAddress" (empty or missing: 127.0.0.1) and "HttpPort" (missing or not a port
/// number: 52180). Never written back: only an administrator sets them.
void HttpSetLoad(THttpSettings &s);

/// The client agent's view of the master.
struct TClnSettings {
    std::uint16_t port = 52100;
    UnicodeString address;
    UnicodeString host;
};

void ClnSetDefaults(TClnSettings &s);
/// Loads "Port" (52100 when it does not convert), "Address" (empty unless it passes the
/// address check) and "Host".
void ClnSetLoad(TClnSettings &s);
/// Writes "Address" and "Host", reporting as MstSetSave does; the port is never written by the
/// client agent.
void ClnSetSave(const TClnSettings &s);
