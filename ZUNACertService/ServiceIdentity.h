#pragma once
// Who the service is and what its probe says: fixed names that the service
// host, the installer, the service's own registration and the guard share.
// Depends on nothing, so every layer may include it.

extern const wchar_t kServiceName[];
extern const wchar_t kServiceDisplayName[];
extern const wchar_t kServiceDescription[];
// The probe: where it goes and what it says.
extern const char kProbeUrl[];
extern const char kProbeBody[];
