#include "Parameters.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "UpdateServerRequest.h"
#include "aDirectory.h"

// clang-format off
const OptionEntry g_rgOptions[33] = {
    {OPTION_COMMAND,    "-B",         0},
    {OPTION_COMMAND,    "-L",         0},
    {OPTION_COMMAND,    "-D",         0},
    {OPTION_COMMAND,    "-G",         0},
    {OPTION_COMMAND,    "-I",         0},
    {OPTION_COMMAND,    "-U",         0},
    {OPTION_COMMAND,    "-OVERRIDE",  0},
    {OPTION_COMMAND,    "-N",         0},
    {OPTION_COMMAND,    "-Y",         0},
    {OPTION_COMMAND,    "-C",         0},
    {OPTION_COMMAND,    "-J",         0},
    {OPTION_HELP,       "-h",         0},
    {OPTION_HELP,       "-H",         0},
    {OPTION_PARAMETER,  "-n",         0},
    {OPTION_PARAMETER,  "-X",         1},
    {OPTION_PARAMETER,  "-Z",         1},
    {OPTION_PARAMETER,  "-m",         1},
    {OPTION_PARAMETER,  "-i",         1},
    {OPTION_PARAMETER,  "-b",         1},
    {OPTION_PARAMETER,  "-d",         1},
    {OPTION_PARAMETER,  "-t",         1},
    {OPTION_PARAMETER,  "-f",         1},
    {OPTION_PARAMETER,  "-r",         1},
    {OPTION_PARAMETER,  "-s",         1},
    {OPTION_PARAMETER,  "-o",         1},
    {OPTION_PARAMETER,  "-e",         0},
    {OPTION_PARAMETER,  "-l",         1},
    {OPTION_PARAMETER,  "-k",         1},
    {OPTION_PARAMETER,  "-u",         1},
    {OPTION_HELP,       "--help",     0},
    {OPTION_HTTP,       "--http",     0},
    {OPTION_HTTPS,      "--https",    0},
    {-1,                nullptr,      0},
};
// clang-format on

namespace {

constexpr const char* kUnprocessed =
    "Invalid format for \"%s\" parameter, unprocessed characters [%s]";

unsigned _get_number_arg(const char* text, char** end, const char* digits, int base) {
    if (end == nullptr || text == nullptr || text[strspn(text, digits)] != '\0') {
        return 0;
    }
    // strtoul saturates at its own width; hold the result to 32 bits the same way, so
    // an over-long number never wraps into a different, valid-looking value.
    unsigned long value = strtoul(text, end, base);
    return value > UINT_MAX ? UINT_MAX : static_cast<unsigned>(value);
}

// Points at the end of text, so that a rejected number leaves nothing "unprocessed".
char* _end_of(char* text) {
    return text + strlen(text);
}

bool _has_hex_prefix(const char* text) {
    return text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// A serial number option ("-d", "-r"): hexadecimal, "0x" allowed, 0 rejected.
bool _read_serial(CLI_Display& display, const OptionEntry* option, char* argument,
                  const char* prefixNote, const char* invalidFormat, uint32_t& serial) {
    if (_has_hex_prefix(argument)) {
        Log::log(kLogUpdater, "%s", prefixNote);
        argument += 2;
    }
    char* end = _end_of(argument);
    serial = _get_hex_arg(argument, &end);
    if (*end != '\0') {
        display.message(CLI_Display::LEVEL_ERROR, kUnprocessed, option->text, end);
        return true;
    }
    if (serial == 0) {
        display.message(CLI_Display::LEVEL_ERROR, invalidFormat, argument);
        return false;
    }
    return true;
}

// A decimal option ("-b", "-o"); false when characters remain after the number.
bool _read_int(CLI_Display& display, const OptionEntry* option, char* argument, unsigned& value) {
    char* end = _end_of(argument);
    value = _get_int_arg(argument, &end);
    if (*end != '\0') {
        display.message(CLI_Display::LEVEL_ERROR, kUnprocessed, option->text, end);
        return false;
    }
    return true;
}

void _read_log_mask(CLI_Display& display, const OptionEntry* option, char* argument,
                    Parameters* params) {
    params->logMaskGiven = true;
    char* end = argument;
    params->logMask = strtoul(argument, &end, _has_hex_prefix(argument) ? 16 : 10);
    if (*end != '\0') {
        display.message(CLI_Display::LEVEL_ERROR, kUnprocessed, option->text, end);
        return;
    }
    Log::ActivatePackage(params->logMask);
}

bool _read_transport(CLI_Display& display, const char* argument, Parameters* params) {
    params->transportGiven = true;
    if (strncmp(argument, "USB", 3) == 0) {
        params->transport = USB;
    } else if (strncmp(argument, "TCP", 3) == 0) {
        params->transport = TCPIP;
    } else if (strncmp(argument, "RECOVER", 7) == 0) {
        params->transport = kTransportRecover;
    } else {
        display.message(CLI_Display::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, "
                        "TCPIP, RECOVER",
                        argument);
        params->transport = static_cast<linkType>(0);
        return false;
    }
    return true;
}

// A command option; false for one the updater does not handle.
bool _set_command(CLI_Display& display, const OptionEntry* option, Parameters* params) {
    switch (option->text[1]) {
        case 'B':
            params->commands.Set(CMD_BUILDS);
            break;
        case 'L':
            params->commands.Set(CMD_LOCAL_BUILDS);
            break;
        case 'D':
            params->commands.Set(CMD_DISCOVER);
            break;
        case 'G':
            params->commands.Set(CMD_GET);
            break;
        case 'I':
            params->commands.Set(CMD_INFO);
            break;
        case 'U':
            params->commands.Set(CMD_UPDATE);
            break;
        case 'N':
            params->commands.Set(CMD_FINGERPRINT);
            break;
        case 'C':
            params->commands.Set(CMD_CHECK);
            break;
        case 'J':
            params->commands.Set(CMD_JWT);
            break;
        case 'O':
            params->overrideModel = true;
            break;
        default:
            display.message(CLI_Display::LEVEL_ERROR, "Unhandled command: [%s]", option->text);
            return false;
    }
    return true;
}

// A parameter option; false when its value is rejected.
bool _set_parameter(CLI_Display& display, const OptionEntry* option, char* argument,
                    Parameters* params, int& serverChoices) {
    switch (option->text[1]) {
        case 'X':
            _read_log_mask(display, option, argument, params);
            return true;
        case 'Z':
            params->commands.Set(CMD_Z);
            return true;
        case 'b': {
            unsigned build = 0;
            if (!_read_int(display, option, argument, build)) {
                return false;
            }
            params->build = std::to_string(build);
            return true;
        }
        case 'd':
            return _read_serial(display, option, argument, "Discarding '0x' serial number prefix\n",
                                "Invalid serial number obtained from argument [%s]",
                                params->serialNumber);
        case 'r':
            return _read_serial(
                display, option, argument, "Discarding '0x' router serial number prefix\n",
                "Invalid router serial number obtained from argument [%s]", params->routerSerial);
        case 'o': {
            unsigned baudRate = 0;
            if (!_read_int(display, option, argument, baudRate)) {
                return false;
            }
            params->baudRate = baudRate;
            return true;
        }
        case 't':
            return _read_transport(display, argument, params);
        case 'm':
            params->ueiBytesLoad = argument[0] == '1' || strncmp(argument, "true", 4) == 0;
            return true;
        case 'e':
            params->echoBytes = true;
            return true;
        case 'n':
            params->nFlag = true;
            return true;
        case 'f':
            params->birdFile = argument;
            return true;
        case 'i':
            params->storageDir = argument;
            return true;
        case 'k':
            params->logFile = argument;
            return true;
        case 'l':
            params->logMessage = argument;
            return true;
        case 's':
            params->serialPort = argument;
            return true;
        case 'u':
            params->serverUrl = argument;
            ++serverChoices;
            return true;
    }
    return true;
}

std::string _app_name(const char* path) {
    if (path == nullptr) {
        return {};
    }
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            name = c + 1;
        }
    }
    return name;
}

}  // namespace

std::string _default_server_url(bool https) {
    return std::string(https ? "https://" : "http://") + UpdateServerRequest::default_host +
           "/cgi/u";
}

unsigned _get_hex_arg(const char* text, char** end) {
    return _get_number_arg(text, end, "0123456789ABCDEFabcdef", 16);
}

unsigned _get_int_arg(const char* text, char** end) {
    return _get_number_arg(text, end, "0123456789", 10);
}

int _validate_params(Parameters*) {
    return 0;
}

int _release_params(Parameters*) {
    return 0;
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params) {
    *params = Parameters{};
    params->appName = _app_name(argc > 0 ? argv[0] : nullptr);
    char home[2048];
    if (aDirectory_GetHomeDirectory(home, sizeof(home)) == aErrNone) {
        params->homeDir = home;
    }
    Log::log(kLogApp, "Home directory:[%s]\n", params->homeDir.c_str());

    int result = 0;
    int serverChoices = 0;
    OptionParser parser(g_rgOptions, argc, argv);
    const OptionEntry* option = nullptr;
    char* argument = nullptr;
    while (parser.next(option, argument)) {
        switch (option->id) {
            case OPTION_HELP:
                params->commands.Set(CMD_HELP);
                params->helpRequested = true;
                return 0;
            case OPTION_HTTPS:
                params->serverUrl = _default_server_url(true);
                ++serverChoices;
                break;
            case OPTION_HTTP:
                params->serverUrl = _default_server_url(false);
                ++serverChoices;
                break;
            case OPTION_COMMAND:
                if (!_set_command(display, option, params)) {
                    result = 1;
                }
                break;
            case OPTION_PARAMETER:
                if (!_set_parameter(display, option, argument, params, serverChoices)) {
                    result = 1;
                }
                break;
        }
    }
    if (serverChoices > 1) {
        display.message(CLI_Display::LEVEL_ERROR,
                        "Multiple update server URLs specified. Choose one of: --https, "
                        "--http, or -U <host:port>.");
        result = 1;
    }
    Log::log(kLogApp, "\nApplication parameters:[%s]\n", params->appName.c_str());
    for (int i = 0; i < argc; ++i) {
        Log::log(kLogApp, "\t[%s]\n", argv[i]);
    }
    if (result == 0) {
        result = _validate_params(params);
    }
    return result;
}
