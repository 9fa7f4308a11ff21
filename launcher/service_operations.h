#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstdint>

#include "launcher/strings.h"

// The operations the run performs on the system, implemented in services/.
// Each reports failure only through its result (a failed string operation
// ends the process: RaiseStringError), and each releases every handle it
// opened before it returns.

// Bytes received (0 or more), or one of the negative stage codes below.
using DownloadResult = std::int32_t;
constexpr DownloadResult kSessionFailed = -1;     // InternetOpenA failed.
constexpr DownloadResult kRequestFailed = -2;     // No (secure) connection, or a status not 2xx.
constexpr DownloadResult kFileOpenFailed = -3;    // The temporary file could not be created.
constexpr DownloadResult kReadFailed = -4;        // A read failed, or the body was cut short.
constexpr DownloadResult kFileWriteFailed = -5;   // Writing or moving the local file failed.
constexpr DownloadResult kSignatureRefused = -6;  // Not signed by a pinned key.

// Returns the "INSTALL" value of the product key under HKLM, or an empty
// string when there is none or it is unreadable, of the wrong type, longer
// than 1024 bytes or not NUL-terminated. Stops at the first NUL.
NarrowString ReadInstallPath();

// Initialises COM on this thread (single-threaded apartment). True when COM
// is usable, including when it was already initialised. The caller balances
// each true with one UninitializeCom.
bool InitializeCom();

// Balances one successful InitializeCom.
void UninitializeCom();

// Returns the known folder's path in the thread's code page, or an empty
// string when the lookup fails. The shell's buffer is freed before returning.
NarrowString GetKnownFolderPath(REFKNOWNFOLDERID folder);

// Creates every level of `path` (backslash-separated), outermost first.
// Levels that exist or cannot be created do not stop the rest. Paths longer
// than 254 bytes create nothing.
void CreateDirectoryChain(NarrowString path);

// GETs `url` (direct connection, no cache; an https URL must pass WinINet's
// certificate checks and must not be redirected to plain http) and stores
// the body at `file_path`. The file is
// replaced only when the whole body arrived with a 2xx status and, when
// `signer_pins` is not empty, the received file carries an Authenticode
// signature by a key it pins: 64 lowercase hex digits per pin (the SHA-256 of
// the key's DER SubjectPublicKeyInfo), back to back. On every failure an
// existing file keeps its content and no temporary file is left behind.
DownloadResult DownloadToFile(const NarrowString& url, const NarrowString& file_path,
                              const NarrowString& signer_pins);

// Saves a shell link at `shortcut_path` that points at `target_path` (which
// need not exist). Failures leave no shortcut and are not reported. Needs COM.
void CreateDesktopShortcut(const NarrowString& target_path, const NarrowString& shortcut_path);

// Creates `subkey` under `root`, with its intermediate keys, if it can.
void CreateRegistryKey(HKEY root, const NarrowString& subkey);

// Stores `data` as REG_SZ (its bytes and one NUL) in the existing key
// `subkey` under `root`; an empty `value_name` is the default value. True when
// stored; false when the key does not exist or the write fails.
bool WriteRegistryString(HKEY root, const NarrowString& subkey, const NarrowString& value_name,
                         const NarrowString& data);
