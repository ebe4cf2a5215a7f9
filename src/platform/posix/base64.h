#pragma once

#include <string>

namespace platform {

// What the system's Base64 decoder accepts, decoded the same way; see DecodeBase64.
bool DecodeBase64Portably(const std::wstring& text, std::string& bytes);

}  // namespace platform
