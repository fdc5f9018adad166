#pragma once
// Times of day and spans of seconds, the dotted IPv4 address check and the help document's
// path: plain values the programs and the master's core share, free of any window.

#include <corekit/corekit.h>

/// "hh:nn:ss" (24-hour) of t; empty when the whole-day part of t is 0.
UnicodeString TimeText(TDateTime t);

/// Whole seconds between two date-times, always positive (truncated toward zero, counted
/// on whole milliseconds so that 414 seconds stays 414 after the double arithmetic).
long long SecondsBetween(TDateTime a, TDateTime b);

/// The help document: the folder above the program's folder + "/Doc/fenwa2doc.chm".
UnicodeString HelpFilePath();

/// True when text splits at "." into exactly four parts, each an integer below 255
/// (no lower bound: "-1.0.0.1" passes).
bool IsDottedAddress(const UnicodeString &text);
