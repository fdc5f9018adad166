// The launcher's one pass, free of widgets: is an agent of the suite already running on this
// machine, which agent belongs here, and starting it from the launcher's own folder.
#pragma once

#include <corekit/corekit.h>

#include <stdexcept>

/// The part a machine plays: the master station runs the master service, every other machine
/// (a workstation) the client agent.
enum class TStation { Master, Workstation };

/// Registry value (under Ardentis\Korvel, in the view the settings use) that names the part of
/// this machine: "Master" for the master station, "Client" for a workstation.
inline const UnicodeString STATION_VALUE = u"Station";

/// The part of this machine as its "Station" value names it, case aside. A machine without the
/// value is a workstation: a network has one master station and any number of workstations.
/// A value that names neither also gives a workstation, and `note` (when given) says why.
TStation StationOfMachine(UnicodeString *note = nullptr);

/// "master" or "client": the agent's program file for the station.
UnicodeString AgentFileName(TStation station);

/// The folder of the running program, without a trailing '/'.
UnicodeString OwnFolder();

/// Nothing was started: by default "OS reports Korvel launch error." (the agent's program could
/// not be started), or why another user's handle block keeps this user's agent out.
class ELaunchFailed : public std::runtime_error {
public:
    ELaunchFailed();
    explicit ELaunchFailed(const UnicodeString &text);
    const UnicodeString &text() const { return FText; }

private:
    UnicodeString FText;
};

/// Starts the agent of this machine from folder, without parameters, and returns its path
/// without waiting for it. Raises cmn_err (IDS_ALREADY_RUNNING) when an agent (of this user or
/// root) holds the handle block; ELaunchFailed when the program cannot be started, or when the
/// block is another, unprivileged user's, which an agent of this user could not replace (root's
/// agent replaces it, so for root the agent is started). `note` as for StationOfMachine.
UnicodeString LaunchAgent(const UnicodeString &folder, UnicodeString *note = nullptr);
