#pragma once
// Message numbers shared by the master, the client agent and the applications of the suite.

#include <cstdint>

/// Window messages an agent's main window understands (WM_APP + 10000 / + 10002).
constexpr std::uint32_t WM_APP_BASE = 0x8000;
constexpr std::uint32_t WM_ANNOUNCE = 0xA710;       ///< WParam application code, LParam process id
constexpr std::uint32_t WM_INSTANCE_ENDED = 0xA712; ///< WParam application code, LParam 0
constexpr std::uint32_t WM_DEFERRED_START = 0xA714; ///< the client agent's window to itself

/// Message codes on the wire between client agent and master.
constexpr int MSG_ANNOUNCE = 112;      ///< client ID (0 = none yet), application code, per-app value
constexpr int MSG_KEEPALIVE = 259;     ///< client ID, 0, 0
constexpr int MSG_WITHDRAW = 376;      ///< client ID, ended application code, 0
constexpr int MSG_CLOSING = 428;       ///< client ID, 0, 0 (no agent sends it; the master accepts it)
constexpr int MSG_ANNOUNCE_REPLY = 22; ///< 1, new client ID or 0, keep-alive interval or 0
constexpr int MSG_ACK = 35;            ///< 1, 0, 0
constexpr int MSG_ERROR = 47;          ///< 0, 0, 0

/// Client ID of the master station itself; assigned IDs start at FIRST_CLIENT_ID.
constexpr int MASTER_CLIENT_ID = 10;
constexpr int FIRST_CLIENT_ID = 11;
