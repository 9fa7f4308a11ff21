#pragma once

// The two download URLs, complete at compile time so that nothing at run time
// can point the launcher at another server. The build sets the host.
#ifndef ORVINTA_DOWNLOAD_HOST
#error "ORVINTA_DOWNLOAD_HOST must name the download server, e.g. \"downloads.example.com\""
#endif

constexpr char kClientUrl[] = "http://" ORVINTA_DOWNLOAD_HOST "/client/orvinta.exe";
constexpr char kUpdaterUrl[] = "http://" ORVINTA_DOWNLOAD_HOST "/client/tmp_updater.bin";
