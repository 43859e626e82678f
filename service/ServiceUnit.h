#pragma once
#include <string>

// The user service of a profile as systemctl names it: systemd escapes an
// instance name that is not plain letters, digits, ":", "_" and "." (a
// space, "-", Japanese), and the unit passes it back unescaped (%I).

// The instance name as systemd-escape writes it.
std::string SystemdEscape(const std::string& instance);

// A command line a user can paste into a shell, e.g.
// systemctl --user stop vardocam@front, or for a name systemd escapes
// systemctl --user stop "vardocam@$(systemd-escape '玄関 カメラ')".
std::string ServiceCommand(const std::string& verb, const std::string& profile);
