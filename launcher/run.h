#pragma once

// The whole launcher: makes sure the client is installed, fetches the updater,
// records the installation and the URL protocol, and hands the process over
// to the updater. Returns 1 when it ends without a hand-off; a successful
// hand-off never returns. A failed string operation ends the process with
// its HRESULT (RaiseStringError).
int RunLauncher();
