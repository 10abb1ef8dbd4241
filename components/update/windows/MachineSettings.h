// The update's settings in the registry, through a table of the registry calls: the
// system's by default, a test's own where it answers as Windows documents.
#pragma once

#include "UpdateFeed.h"

#include <windows.h>

namespace kestrune::update {

struct RegistryCalls {
    LSTATUS(WINAPI* openKey)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    LSTATUS(WINAPI* enumKey)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME);
    LSTATUS(WINAPI* enumValue)(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LSTATUS(WINAPI* closeKey)(HKEY);
};
const RegistryCalls& systemRegistryCalls();

// As the hive's keys are read on Linux: HKEY_LOCAL_MACHINE\Software\<any company>\<product>
// \Settings\Update and its subkey TrustedKeys, string values only, names without regard to
// case, the first company's key that names FeedUrl or CaFile holding.
UpdateSettings updateSettingsFromRegistry(const RegistryCalls& calls, const QString& productName);

} // namespace kestrune::update
