#pragma once

#include <windows.h>

#include "launcher/strings.h"

// Putting a downloaded file in place of one that may be in use: a running
// updater (started by the URL protocol) cannot be replaced, but can be
// renamed; a file another process holds without delete sharing (a scanner)
// can be neither until it is let go.

// How long a file held by another process is waited for, and how often
// the move is tried again meanwhile.
// Long enough for a scanner to read a new program of a client's size.
constexpr DWORD kHeldFileWaitMs = 10000;
constexpr DWORD kHeldFileRetryMs = 250;

enum class Placement {
  kPlaced,      // `temp_path` is now `file_path`.
  kMovedAside,  // The same, after the file in use there was moved aside.
  kHeld,        // Nothing changed: the new file was still held when the wait ended.
  kFailed,      // Nothing changed, or only where a good copy went (below).
};

// Moves `temp_path` (flushed to disk by its writer) to `file_path`,
// replacing the file there (a read-only one too). When that file is in use,
// moves it aside to "<file_path>.<0 to 9>.old" (the first name free) in the
// same folder and the new one in, putting the old one back if the new one
// cannot follow; what was moved aside is removed at the next restart (an
// elevated process may schedule that) unless RemoveMovedAside removes it
// first. The good copy is never lost: when it cannot be put back either, it
// is renamed, or failing that copied, to "<file_path>.previous", a name no
// removal is ever scheduled for, and PutBackPrevious puts it back. While
// either file is held without delete sharing, the move is tried again every
// kHeldFileRetryMs, for kHeldFileWaitMs in all. `temp_path` stays where it
// was unless placed.
Placement PutInPlace(const NarrowString& temp_path, const NarrowString& file_path);

// Puts the good copy PutInPlace kept as "<file_path>.previous" back at
// `file_path` when no file is there, and removes it when one is; true when
// it was put back.
bool PutBackPrevious(const NarrowString& file_path);

// Removes each file that PutInPlace moved aside from `file_path` and that
// nothing holds any more; only those, and only while a file is at
// `file_path`.
void RemoveMovedAside(const NarrowString& file_path);
