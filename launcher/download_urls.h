#pragma once

#include "launcher/service_operations.h"

// Each download's URL on every host, the signer pins, the updater's version
// floor and the download limits, complete at compile time so that nothing at
// run time can point the launcher at another server, signer or older updater,
// or make it wait longer. The build sets them.
#if !defined(ORVINTA_CLIENT_URLS) || !defined(ORVINTA_UPDATER_URLS) ||        \
    !defined(ORVINTA_SIGNER_PINS) || !defined(ORVINTA_UPDATER_MIN_VERSION) || \
    !defined(ORVINTA_DOWNLOAD_LIMITS) || !defined(ORVINTA_LAUNCHER_VERSION)
#error \
    "ORVINTA_CLIENT_URLS and ORVINTA_UPDATER_URLS (one literal a host, the primary first), ORVINTA_SIGNER_PINS, ORVINTA_UPDATER_MIN_VERSION (four numbers), ORVINTA_DOWNLOAD_LIMITS (seconds,rate,bytes) and ORVINTA_LAUNCHER_VERSION (\"a.b.c.d\") must be set"
#endif

// The client's and the updater's URL on each host, in the order a run
// starts with: the primary, then up to two more hosts.
inline constexpr const char* kClientUrls[] = {ORVINTA_CLIENT_URLS};
inline constexpr const char* kUpdaterUrls[] = {ORVINTA_UPDATER_URLS};
constexpr int kHostCount = sizeof(kClientUrls) / sizeof(kClientUrls[0]);
static_assert(kHostCount <= 3 && sizeof(kUpdaterUrls) == sizeof(kClientUrls));

// The SHA-256 pins of the keys whose signatures a download must carry, 64
// lowercase hex digits each, back to back; empty: no signature check.
inline constexpr char kSignerPins[] = ORVINTA_SIGNER_PINS;

// The lowest updater version a signed build keeps, even on a first install
// where no updater is on disk to compare with; kAnyVersion when none is set.
constexpr FileVersion kUpdaterMinVersion = MakeFileVersion(ORVINTA_UPDATER_MIN_VERSION);

// The launcher's own version, for the record of each run. The launcher has
// no version resource; this is the version the build was given.
inline constexpr char kLauncherVersion[] = ORVINTA_LAUNCHER_VERSION;

// The window, the lowest rate and the largest body of both downloads.
constexpr DownloadLimits kDownloadLimits = {ORVINTA_DOWNLOAD_LIMITS};
