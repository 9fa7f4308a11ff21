#pragma once

#include "launcher/strings.h"

// Whether a file can be a Windows program at all: the check every download
// passes before it replaces the client or the updater, in every build, and
// the first one the publisher's release check makes.

// True when the file at `path` starts like a PE image: "MZ", then
// "PE\0\0" at the offset the 32-bit value at 0x3C gives. False for anything
// else (an error page, a cut or empty body) and for a file that cannot be read.
bool StartsLikeAProgram(const NarrowString& path);
