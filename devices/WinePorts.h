// Which Linux device a COM port is when the program runs under Wine. Wine
// keeps the mapping it was given (by the launcher, or by hand) as string
// values "COMn" = unix path under HKLM\Software\Wine\Ports.
#pragma once

#include <string>

// The unix path mapped to Port ("COM1"); empty on Windows, for a port Wine
// found by itself, or when nothing is known.
std::wstring WinePortDevice(const std::wstring& Port);

// "COM1 = /dev/serial/by-id/..." when Device is known, else the port name.
std::wstring PortMappingText(const std::wstring& Port, const std::wstring& Device);
