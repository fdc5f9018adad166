// listkit: the suite's string-list library.
//
// One public header; the families live in their own headers below listkit/. Include only
// this one.
//
//   Sv_  string lists, list files, CSV, scrambled files   <listkit/lists.h>
//   F_   file lists, file times, version information      <listkit/filelists.h>
//
// List files ("wide" text) are UTF-8 without a byte-order mark, read and written as bytes
// whatever the process locale is; "ANSI" text uses the locale's narrow encoding.
#pragma once

#include <corekit/corekit.h>

#include <listkit/filelists.h>
#include <listkit/lists.h>
