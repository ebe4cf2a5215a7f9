#pragma once

#include <set>
#include <string>

// Cuts the "splitapps" argument at semicolons, trims each piece (blanks and tabs in front;
// blanks, tabs and carriage returns behind), drops empty pieces and lower-cases the rest.
std::set<std::wstring> ParseSplitApps(const std::wstring& text);

// Replaces SplitAppSet; with the tunnel up, starts the sniffer for a non-empty set and stops
// it for an empty one.
void SetSplitApps(const std::wstring& text);
// Starts the sniffer thread unless one is running (or has given up and not been stopped).
void StartSniffer();
// Stops and joins the sniffer thread, then removes every bypass route; nothing when stopped.
void StopSniffer();
