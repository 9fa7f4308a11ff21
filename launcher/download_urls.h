#pragma once

// The two download URLs and the publisher's signer pins, complete at compile
// time so that nothing at run time can point the launcher at another server
// or signer. The build sets them.
#if !defined(ORVINTA_DOWNLOAD_SCHEME) || !defined(ORVINTA_DOWNLOAD_HOST) || \
    !defined(ORVINTA_SIGNER_PINS)
#error \
    "ORVINTA_DOWNLOAD_SCHEME (\"http\" or \"https\"), ORVINTA_DOWNLOAD_HOST and ORVINTA_SIGNER_PINS must be set"
#endif

constexpr char kClientUrl[] =
    ORVINTA_DOWNLOAD_SCHEME "://" ORVINTA_DOWNLOAD_HOST "/client/orvinta.exe";
constexpr char kUpdaterUrl[] =
    ORVINTA_DOWNLOAD_SCHEME "://" ORVINTA_DOWNLOAD_HOST "/client/tmp_updater.bin";

// The SHA-256 pins of the keys whose signatures a download must carry, 64
// lowercase hex digits each, back to back; empty: no signature check.
constexpr char kSignerPins[] = ORVINTA_SIGNER_PINS;
