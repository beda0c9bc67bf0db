// Which device stands behind port number n.
#pragma once

#include <QString>

// Port n is /dev/ttyS<n-1>, unless the user maps it elsewhere in the settings, section "Ports",
// key "Com<n>" (for example Com5=/dev/ttyUSB0 or a /dev/serial/by-id/ link).
namespace PortMap {

QString defaultDevice(int port);

// Reads the user's mapping afresh on every call: a changed mapping applies at the next open.
QString device(int port);

} // namespace PortMap
