#pragma once

#include <cstdint>

#include "launcher/strings.h"

// Whether a file can be a Windows program at all, and how long it must be:
// the checks every download passes before it replaces the client or the
// updater, in every build, and the first ones the publisher's release
// check makes.

// True when the file at `path` starts like a PE image: "MZ", then
// "PE\0\0" at the offset the 32-bit value at 0x3C gives. False for anything
// else (an error page, a cut or empty body) and for a file that cannot be read.
bool StartsLikeAProgram(const NarrowString& path);

// The length the headers of a program say it has, from `head`, its first
// `length` bytes (or all of them): the end of its headers and section table,
// of its sections' raw data and of its certificate table, whichever is
// furthest; what lies past `head` counts as zeros. A file shorter than that
// was cut short (one longer carries trailing data, which is fine). 0 when
// `head` does not start like a program.
std::uint64_t ProgramImageEnd(const unsigned char* head, std::uint32_t length);
