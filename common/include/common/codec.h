#pragma once
// The four-integer message text that travels between client agent and master:
// "code,field2,field3,field4" in 8-bit text, no blanks, no terminator.

#include <string>

/// Composes a message as "%d,%d,%d,%d".
std::string MsgCompose(int code, int field2, int field3, int field4);

/// Parses a received message. The text is split at commas with empty parts dropped; with
/// fewer than four parts the result is 0 and the fields are left untouched. The first four
/// parts are converted in order (code, field 2, 3, 4); parts after the fourth are ignored.
/// A part that does not convert gives 0 (fields converted before it keep their new values).
/// The code is a 16-bit value: a code outside 0..65535 counts as a failed conversion.
int MsgParse(const std::string &text, int &field2, int &field3, int &field4);
