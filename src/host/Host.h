// The `tarnel` command: the shell's part on Linux.
#pragma once

#include "platform/wintypes.h"

#include <string>
#include <string_view>

// Exit statuses shared by the commands.
enum ExitStatus { kExitPicture = 0, kExitNoPicture = 1, kExitUsage = 2, kExitIconOnly = 3 };

int RunThumbnail(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunRegister(int argc, char** argv, bool unregister);
int RunRegistry(int argc, char** argv);

// The file name as the shell would pass it: absolute, as a wide string (see widestr.h).
std::wstring ShellPath(const char* arg);

// "S_OK (0x00000000)" and the like.
std::string DescribeHResult(HRESULT hr);

// A JSON string literal; undecodable file-name bytes become U+FFFD.
std::string JsonString(std::wstring_view text);
