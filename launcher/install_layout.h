#pragma once

#include "launcher/strings.h"

// The fixed names of an installation. Wide literals are converted with
// ToNarrow before they are joined to anything.
inline constexpr char kProductKey[] = "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA";  // Under HKLM.
inline constexpr char kInstallValueName[] = "INSTALL";
// The record of the last run, under the product key (see run_record.h).
inline constexpr char kLastRunValueName[] = "LastRun";
// Under HKLM: one value per downloaded file, named by its file name: the
// SHA-256 of the bytes kept, then the conditions that ask for them again
// only when they changed.
inline constexpr char kKeptConditionsKey[] = "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA\\Validators";
// Under HKLM: one value per file whose body a run left in
// "<file>.partial" for the next, named by its file name: where the next run
// continues it from (services/partial_download.h).
inline constexpr char kPartialsKey[] = "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA\\Partials";
// One launch at a time on the whole machine: every session's launcher, and
// every user's, writes the same folder and the same HKLM key.
inline constexpr char kLaunchMutexName[] = "Global\\ZORVIN TALLAMERE ORVINTA launch";
inline constexpr wchar_t kProductSubPath[] = L"\\ZORVIN TALLAMERE\\ORVINTA";
inline constexpr char kDefaultInstallDir[] = "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA";
// "\" followed by six Hangul syllables and ".lnk"; escaped so that no source
// encoding can change it.
inline constexpr wchar_t kShortcutFileName[] = L"\\\uC624\uBE48\uD0C0\uBA54\uB8E8\uC2A4.lnk";
inline constexpr wchar_t kClientFileName[] = L"\\orvinta.exe";
inline constexpr char kUpdaterFileName[] = "\\updater.exe";
inline constexpr char kUserAgent[] = "Orvinta Launcher";
inline constexpr char kSchemeKey[] = "orvinta";  // Under HKCR.
inline constexpr char kUrlProtocolValueName[] = "URL protocol";
inline constexpr char kUrlProtocolData[] = "";
inline constexpr char kOpenCommandKey[] = "orvinta\\shell\\open\\command";  // Under HKCR.
inline constexpr char kOpenCommandValueName[] = "";  // The key's default value.
inline constexpr char kOpenCommandTail[] = "\" \"%1\"";
inline constexpr char kActiveStartOption[] = "-activestart";

// The install directory of a first install: the 32-bit program-files folder
// (as the shell returned it, possibly empty) + the product sub-path.
NarrowString ComposeInstallDir(const NarrowString& program_files_folder);

// The desktop shortcut's file: the desktop folder (possibly empty) + the
// shortcut file name. Under a code page without Hangul the name degrades to
// default characters, which the file system then refuses.
NarrowString ComposeShortcutPath(const NarrowString& desktop_folder);

// InstallDir + "\orvinta.exe". No separator is added or removed.
NarrowString ComposeClientExePath(const NarrowString& install_dir);

// InstallDir + "\updater.exe". No separator is added or removed.
NarrowString ComposeUpdaterPath(const NarrowString& install_dir);

// The URL protocol's open command: "<updater path>" "%1", quotes included.
// The updater path is not examined for quotes or spaces.
NarrowString ComposeOpenCommand(const NarrowString& updater_path);

// Where the file name in `path` begins: after its last separator (a
// backslash or a slash); `path` itself when it has none.
const char* FileNameIn(const char* path);
