#pragma once

// What the helper and its clients agree on over the control pipe: the names, the request line
// and the replies. Standard C++ only, so that the client library builds it on any platform.
// A request is one line of UTF-8, "word" or "word argument", ended by a line feed; the reply
// is one line the same way.

#include <string>

namespace wire {

inline constexpr const wchar_t* kPipeName = L"\\\\.\\pipe\\OrvantaHelper";
inline constexpr const wchar_t* kServiceName = L"OrvantaHelper";

// The command words, as the helper matches them once A to Z are lower-cased.
inline constexpr const char* kPing = "ping";
inline constexpr const char* kStatus = "status";
inline constexpr const char* kSplitApps = "splitapps";
inline constexpr const char* kDisconnect = "disconnect";
inline constexpr const char* kConnect = "connect";
inline constexpr const char* kSplitStatus = "splitstatus";
// Empties the helper's route memory (no argument); the reply is "OK".
inline constexpr const char* kSplitForget = "splitforget";

inline constexpr const char* kOk = "OK";
inline constexpr const char* kRunning = "RUNNING";
inline constexpr const char* kStopped = "STOPPED";
inline constexpr const char* kErrUnknown = "ERR unknown";
inline constexpr const char* kErrBadBase64 = "ERR bad base64";
inline constexpr const char* kErrConnectFailed = "ERR connect failed";
// The reply to "splitstatus" is "split on" or "split off" followed by its fields.
inline constexpr const char* kSplitOn = "split on";
inline constexpr const char* kSplitOff = "split off";

// A request as the helper reads it, in UTF-8: the word with A to Z lower-cased, and the
// argument verbatim (empty when the line has no space).
struct Request {
    std::string word;
    std::string argument;
};

// The request line carried by the received bytes: the bytes before the first line feed, less
// trailing carriage returns, up to the first NUL.
std::string RequestLine(const std::string& received);

// Splits a request line at its first U+0020; only that character separates.
Request SplitRequest(const std::string& line);

// Standard Base64 with padding, as "connect" expects its configuration.
std::string Base64Encode(const std::string& bytes);

// "word" or "word argument", ended by a line feed. An argument reaches the helper unchanged
// when it holds no line feed and no NUL and does not end with a carriage return.
std::string BuildRequest(const std::string& word, const std::string& argument);
std::string BuildConnectRequest(const std::string& configurationBytes);

// The reply line without its line feed; the whole text when no line feed arrived.
std::string ReplyLine(const std::string& received);

}  // namespace wire
