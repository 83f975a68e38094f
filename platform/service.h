// The service manager (systemd) as the server sees it at start-up and in its signalling: is
// the system's unit running? The unit is "<product name in lower case>.service".
// Installing and removing the unit belong to the service-control commands.
#pragma once

#include <string>

namespace platform {

// True when systemd runs on this machine (its runtime directory exists).
bool ServiceManagerAvailable();

// True when the unit of `product` is active. False when there is no service manager.
bool ServiceActive(const std::string& product);

std::string ServiceUnitName(const std::string& product);

}  // namespace platform
