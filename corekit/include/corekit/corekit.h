// corekit: the suite's base utility library.
//
// One public header. The families live in their own headers below corekit/ so each can grow
// without touching the others; include only this one.
//
//   S_   strings          <corekit/strings.h>
//   F_   files, folders   <corekit/files.h>
//   RG_  registry, SI_ system facts   <corekit/registry.h>
//
// The window-placement (W_) and key-state (K_) helpers need Qt's GUI modules; they are the
// library corekit_gui with its header <corekit/windows.h>, so that programs without windows
// never load those modules.
//
// Text encoding on Linux: UnicodeString is UTF-16 (one character = one code unit). Files that
// the design calls "wide" are UTF-8 without a byte-order mark, read and written as bytes
// whatever the process locale is, so Cyrillic text round-trips under the C locale too. Files
// the design calls "ANSI" use the locale's narrow multibyte encoding.
#pragma once

#include <corekit/types.h>

#include <corekit/files.h>
#include <corekit/registry.h>
#include <corekit/strings.h>
