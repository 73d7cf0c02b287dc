// The device the clients open: a pseudo-terminal, and optionally a symbolic link to it.
#pragma once

#include <optional>
#include <string>

namespace qzsim {

struct Terminal
{
    int master = -1;    // our end, non-blocking
    std::string device; // what clients open, /dev/pts/N
};

// A pseudo-terminal whose client side is raw at 9600 baud; only our end stays
// open. Tells why on standard error when there is none.
std::optional<Terminal> openTerminal();

// Empties what a client left unread in the device.
void discardUnread(const std::string &device);

// Points `link` at the device, replacing an existing symbolic link; anything else
// there is left alone. Tells why on standard error when it fails.
bool makeLink(const std::string &link, const std::string &device);
// Removes `link` if it still points at the device.
void removeLink(const std::string &link, const std::string &device);

} // namespace qzsim
