#pragma once

#include "launcher/service_operations.h"

// The two download URLs, the publisher's signer pins, the updater's
// version floor and the download limits, complete at compile time so that
// nothing at run time can point the launcher at another server, signer or
// older updater, or make it wait longer. The build sets them.
#if !defined(ORVINTA_DOWNLOAD_SCHEME) || !defined(ORVINTA_DOWNLOAD_HOST) ||   \
    !defined(ORVINTA_SIGNER_PINS) || !defined(ORVINTA_UPDATER_MIN_VERSION) || \
    !defined(ORVINTA_DOWNLOAD_LIMITS) || !defined(ORVINTA_LAUNCHER_VERSION)
#error \
    "ORVINTA_DOWNLOAD_SCHEME (\"http\" or \"https\"), ORVINTA_DOWNLOAD_HOST, ORVINTA_SIGNER_PINS, ORVINTA_UPDATER_MIN_VERSION (four numbers) and ORVINTA_DOWNLOAD_LIMITS (seconds,rate,bytes) and ORVINTA_LAUNCHER_VERSION (\"a.b.c.d\") must be set"
#endif

inline constexpr char kClientUrl[] =
    ORVINTA_DOWNLOAD_SCHEME "://" ORVINTA_DOWNLOAD_HOST "/client/orvinta.exe";
inline constexpr char kUpdaterUrl[] =
    ORVINTA_DOWNLOAD_SCHEME "://" ORVINTA_DOWNLOAD_HOST "/client/tmp_updater.bin";

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
