#pragma once

#include <string>

#include "common/wire.h"

inline const std::wstring kServiceName = wire::kServiceName;
inline const std::wstring kServiceDisplayName = L"Orvanta Helper";
