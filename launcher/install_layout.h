#pragma once

#include "launcher/strings.h"

// The fixed names of an installation. Wide literals are converted with
// ToNarrow before they are joined to anything.
constexpr char kProductKey[] = "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA";  // Under HKLM.
constexpr char kInstallValueName[] = "INSTALL";
constexpr wchar_t kProductSubPath[] = L"\\ZORVIN TALLAMERE\\ORVINTA";
constexpr char kDefaultInstallDir[] = "C:\\Program Files (x86)\\ZORVIN TALLAMERE\\ORVINTA";
// "\" followed by six Hangul syllables and ".lnk"; escaped so that no source
// encoding can change it.
constexpr wchar_t kShortcutFileName[] = L"\\\uC624\uBE48\uD0C0\uBA54\uB8E8\uC2A4.lnk";
constexpr wchar_t kClientFileName[] = L"\\orvinta.exe";
constexpr char kUpdaterFileName[] = "\\updater.exe";
constexpr char kUserAgent[] = "Orvinta Launcher";
constexpr char kSchemeKey[] = "orvinta";  // Under HKCR.
constexpr char kUrlProtocolValueName[] = "URL protocol";
constexpr char kUrlProtocolData[] = "";
constexpr char kOpenCommandKey[] = "orvinta\\shell\\open\\command";  // Under HKCR.
constexpr char kOpenCommandValueName[] = "";                         // The key's default value.
constexpr char kOpenCommandTail[] = "\" \"%1\"";
constexpr char kActiveStartOption[] = "-activestart";

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
