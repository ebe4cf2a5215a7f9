#pragma once

#include <string>

inline const std::wstring kServiceName = L"OrvantaHelper";
inline const std::wstring kServiceDisplayName = L"Orvanta Helper";
