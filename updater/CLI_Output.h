// What the command-line front end prints: the version and notice lines, the usage
// texts, and the tables of devices, builds, fingerprints and tokens. All but the usage
// (standard error) go out as info messages.
#ifndef KESTRIX_CLI_OUTPUT_H
#define KESTRIX_CLI_OUTPUT_H

#include <map>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "aLinkSpec.h"

// "Updater (Version: 2.12.5 <build date>)".
void _display_app_version(CLI_Display& display);
// The one-line notice, in parentheses.
void _display_copyright(CLI_Display& display);
// The usage text on standard error: the short form, or with full the parameters,
// commands and samples, and with extended as well the extended options.
void _display_usage(CLI_Display& display, bool extended, bool full);
// The devices found on type, one row each, or "No devices found.".
void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType type);
// Build number and version of each build, newest version first.
void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds,
                     unsigned serialNumber);
// "[ %08X %08X %08X %08X ]".
void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint);
// The token as it is.
void _display_jwt(CLI_Display& display, std::string token);

#endif
