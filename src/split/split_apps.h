#pragma once

#include <set>
#include <string>

// Cuts the "splitapps" argument at semicolons, trims each piece (blanks and tabs in front;
// blanks, tabs and carriage returns behind), drops empty pieces and lower-cases the rest.
std::set<std::wstring> ParseSplitApps(const std::wstring& text);

// Replaces the list and saves it; whether splitting then runs is the tunnel's rule to
// decide. While the sniffer watches, the open connections of the applications it gained get
// their bypass routes. True when the new set names any application.
bool SetSplitApps(const std::wstring& text);
bool SplitAppsListed();
// Whether the sniffer runs (from StartSniffer until StopSniffer).
bool SnifferRunning();
// Starts the sniffer thread unless one is running (or has given up and not been stopped), and
// with it the following of the physical default route.
void StartSniffer();
// Stops and joins the sniffer thread and the following of the network, then removes every
// bypass route; nothing when stopped.
void StopSniffer();
