#pragma once
// The programs' string table: every user-visible text by its numeric id.

#include <corekit/corekit.h>

#include <initializer_list>

enum : int {
    IDS_EXIT_CONFIRM = 17,       ///< "There are active Ardentis application(s). ..."
    IDS_TIP_MASTER_STATION = 18, ///< "Application is running on master-station (client ID = %d)."
    IDS_ALREADY_RUNNING = 33,    ///< "Korvel is already running."
    IDS_BLOCK_CREATE_ERROR = 35, ///< "Internal error: mutex or memory file create error."
    IDS_LOG_SOCKET_ERROR = 37,   ///< "Error occured during communication session with a client (%s)."
    IDS_KIND_GENERAL = 50,
    IDS_KIND_SENDING = 51,
    IDS_KIND_RECEIVING = 52,
    IDS_KIND_CONNECTING = 53,
    IDS_KIND_DISCONNECTING = 54,
    IDS_KIND_LOOKUP = 55,
    IDS_LOG_ASSIGNED_ID = 62, ///< "Client is assigned ID = %d. "
    IDS_LOG_KEEPALIVE = 64,   ///< "Client %d requested for acknowledgment."
    IDS_LOG_SHUT_DOWN = 65,   ///< "Application %d has shut down, client %d."
    IDS_LOG_BAD_MESSAGE = 67, ///< "Bad client messge - discarded."
    IDS_LOG_AUDIT_OK = 68,    ///< "Master audit: all clients are active."
    IDS_LOG_AUDIT_DEAD = 69,  ///< "Master audit: at least, one client is dead."
    IDS_LOG_LISTENING = 70,   ///< "Master begins listening at port %d."

    // Texts of the programs that carry no number of their own in the catalogue.
    IDS_TIP_CLIENT = 100,             ///< "Client %d.  Host: %s.  Address: %s"
    IDS_CLN_CONVERSATION_ERROR = 110, ///< "Error occured during conversation with Master %s."
    IDS_CLN_DETAIL_OS = 111,          ///< "(OS error code %d)"
    IDS_CLN_DETAIL_NO_ADDRESS = 112,  ///< "(Master IP address not defined)"
    IDS_CLN_DETAIL_BAD_MESSAGE = 113, ///< "(bad Master message)"
    IDS_CLN_SESSION_ENDS = 114,       ///< " Work session ends soon."
    IDS_CLN_EXIT_BLOCKED_1 = 115,     ///< "There is at least one ative Ardentis application(s)."
    IDS_CLN_EXIT_BLOCKED_2 = 116,     ///< "Korvel cannot exit until it is closed or aborted."
    IDS_CLN_SELECT_DISC = 120,        ///< "Select system disc on a master station."
    IDS_CLN_UNC_ERROR = 121,          ///< "Error getting full UNC disc name. ..."
    IDS_CLN_NO_MASTER_ADDRESS = 122,  ///< "Error getting Master IP address(es)."
    IDS_CLN_ADDRESS_COUNT = 123,      ///< "Master owns %d IP addresses. ..."
    IDS_CLN_BAD_ADDRESS = 124,        ///< "Bad IP address."
    IDS_CLN_BAD_PORT = 125,           ///< "Bad port number."
    IDS_CLN_TEST_OK = 126,            ///< "Connection successfully completed."
    IDS_CLN_TEST_FAILED = 127,        ///< "Error! Attempt of connecting to Master failed."
    IDS_CLN_NOT_TESTED = 128,         ///< "Connection to Master has not been tested."
    IDS_LAUNCH_ERROR = 130,           ///< "OS reports Korvel launch error."

    // The master's own lines about its listening socket.
    IDS_LOG_LISTEN_FAILED = 140, ///< "Master cannot listen at port %d: %s. It tries again every few seconds."
    IDS_LOG_LISTEN_OPENED = 141, ///< "Master listens at port %d now."
};

/// Text of a string-table id; empty for an id the table does not hold.
UnicodeString LoadStr(int id);

/// One value for FormatStr: a number for %d, a text for %s.
struct TFmtArg {
    TFmtArg(long long n) : isText(false), number(n) {}
    TFmtArg(int n) : isText(false), number(n) {}
    TFmtArg(const UnicodeString &s) : isText(true), text(s) {}
    TFmtArg(const char16_t *s) : isText(true), text(s) {}
    bool isText;
    long long number = 0;
    UnicodeString text;
};

/// printf-style formatting with %d, %u, %s and %%; arguments are used in order. A
/// placeholder without an argument stays as written; a number for %s (or a text for %d)
/// is written as it is.
UnicodeString FormatStr(const UnicodeString &format, std::initializer_list<TFmtArg> args);

/// The string-table text of id, formatted with args.
UnicodeString LoadFmt(int id, std::initializer_list<TFmtArg> args);
