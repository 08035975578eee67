// The updater's command line: the option table, the record it fills, and its parser.
#ifndef KESTRIX_PARAMETERS_H
#define KESTRIX_PARAMETERS_H

#include <cstdint>
#include <string>

#include "CLI_Display.h"
#include "OptionParser.h"
#include "aLinkSpec.h"

// The default update server's URL, "http://" or "https://", its host, "/cgi/u".
std::string _default_server_url(bool https);

// Option ids of the table.
enum : int32_t {
    OPTION_HELP = 0,
    OPTION_COMMAND = 1,
    OPTION_PARAMETER = 2,
    OPTION_HTTPS = 3,
    OPTION_HTTP = 4,
};

// The 32 options and the closing entry.
extern const OptionEntry g_rgOptions[33];

// The "-t" value that selects chip recovery rather than a link type.
inline constexpr linkType kTransportRecover = static_cast<linkType>(255);

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_BUILDS = 0x4,
    CMD_GET = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_JWT = 0x100,
    CMD_LOCAL_BUILDS = 0x200,
    CMD_HELP = 0x80000000,
};

// Any command at all; it also spans bits 0x400, 0x10000 and 0x20000, which no option
// sets.
inline constexpr COMMANDS kAnyCommand = static_cast<COMMANDS>(0x307FF);

class CommandsClass {
  public:
    // Adds the bits of c.
    void Set(COMMANDS c) { word |= c; }
    // True when any bit of c (one command or a mask of several) is set.
    bool IsSet(COMMANDS c) const { return (word & c) != 0; }

  private:
    uint32_t word = 0;
};

// What the command line asks for; the initial values are the defaults.
struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerial = 0;
    linkType transport = USB;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string logMessage;
    std::string build;
    bool echoBytes = false;
    std::string serverUrl = _default_server_url(false);
    bool nFlag = false;
    std::string storageDir;
    std::string appName;
    std::string homeDir;
    std::string logFile = "Updater.log";
    bool overrideModel = false;
    bool ueiBytesLoad = true;
    uint32_t logMask = 0;
    bool logMaskGiven = false;
    bool helpRequested = false;
};

// Resets params to the defaults and fills it from argv; the messages of rejected
// options go to display at error level. 0 on success, 1 when any option was rejected
// (malformed words are dropped silently and reject nothing). A help option ends
// parsing at once with 0.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params);
// Cross-checks after parsing; there are none, so 0.
int _validate_params(Parameters* params);
// Releases what params owns beyond its strings (nothing); 0.
int _release_params(Parameters* params);

// text read as hexadecimal. 0 when end is null or text has a non-hex character (*end
// is then left alone); otherwise *end is set past the digits read. Values beyond 32
// bits read as 0xFFFFFFFF.
unsigned _get_hex_arg(const char* text, char** end);
// The same for decimal digits.
unsigned _get_int_arg(const char* text, char** end);

#endif
