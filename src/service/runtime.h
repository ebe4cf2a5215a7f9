#pragma once

#include <cstdint>

// The service main routine handed to the dispatcher: reports the service's states, serves the
// control pipe until a stop, then stops split tunnelling. The tunnel itself is left as it is.
void ServiceMain(uint32_t argc, wchar_t** argv);

// Turns a stop (or shutdown) into the stop-pending report and the stop signal.
uint32_t ServiceControlHandler(uint32_t control, uint32_t eventType, void* eventData,
                               void* context);
