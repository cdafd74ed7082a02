// The registry's functions. Keys and values live in hive files; every call reads them afresh,
// and every change is one locked read-modify-write of one hive.
//
// HKEY_CLASSES_ROOT is, as on Windows, HKEY_CURRENT_USER\Software\Classes laid over
// HKEY_LOCAL_MACHINE\Software\Classes: reads see a key or value of either, the user's first. Its writes go
// to the user's classes, or to the system's when per-user registration is turned off. Access rights asked
// for when a key is opened are not checked here; what may be written is decided by the hive file.
#pragma once

#include "winerror.h"

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

DECLARE_HANDLE(HKEY);
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

extern "C" {
TARNEL_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                              PHKEY phkResult);
TARNEL_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult,
                                LPDWORD lpdwDisposition);
TARNEL_API LONG RegCloseKey(HKEY hKey);
TARNEL_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData);
TARNEL_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE* lpData, DWORD cbData);
TARNEL_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Fails with ERROR_ACCESS_DENIED while the key has subkeys.
TARNEL_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// A null subkey: everything in the key but the key itself.
TARNEL_API LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
// Subkeys in order of their names compared without regard to case.
TARNEL_API LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                              LPWSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);
TARNEL_API LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                              LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
}
