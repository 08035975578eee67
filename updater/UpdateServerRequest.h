// Client side of the update server's query protocol: each operation sends one GET whose
// query "op" selects it, checks that the reply has status 200 and a first line beginning
// with "ok", and extracts the answer lines. Failures give false and a DEBUG_ServerComm log
// line; nothing is thrown to the caller.
#ifndef KESTRIX_UPDATESERVERREQUEST_H
#define KESTRIX_UPDATESERVERREQUEST_H

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
  public:
    // Host of the default update server; both URL forms of the command line use it.
    static constexpr const char* default_host = "update.tessarin.example";
    // Server URL used when an operation is given a null url.
    static constexpr const char* default_url = "http://update.tessarin.example/cgi/u";
    // Separator of the reply lines; empty lines are skipped.
    static constexpr const char* delimiters = "\n";

    // True when the server answers "ok" (query op=hi&rv=2&).
    static bool ping(const char* url);
    // Latest build number (line 2, up to its line feed) and the firmware name to ask
    // GetBuild for (line 3, up to a carriage return or line feed). An absent line leaves
    // its output unchanged.
    static bool QueryBuild(unsigned serial, std::string& build, std::string& firmwareName,
                           const char* url);
    // The BIRD file of one build as one line of Base64 text. On "ok", data is cleared and
    // set to line 2 when there is one (so "ok" alone gives true with data empty).
    static bool GetBuild(unsigned serial, const char* firmwareName, const char* build,
                         std::string& data, const char* url, bool noCalibration);
    // The builds offered for a module, build-number text to version text. builds is
    // cleared first; for a build listed twice the first line wins.
    static bool GetBuildList(unsigned serial, std::map<std::string, std::string>& builds,
                             const char* url);
    // Maps a chip's four fingerprint words to the module's serial number (line 2,
    // hexadecimal) and its recovery build (line 3, base from its prefix as strtoul base 0).
    // An absent line leaves its output unchanged.
    static bool GetRecoveryInfo(const unsigned* fingerprint, unsigned* serial, unsigned* build,
                                const char* url);
    // The module's feature token in compact JWT form. False, with token unchanged, when
    // line 2 is missing or any of its three parts is shorter than 2 characters.
    static bool GetDeviceJWT(unsigned serial, std::string& token, const char* url);

    // The (build, version) pairs, newest version first, versions compared as three 8-bit
    // components. Versions that are not three numbers go last; pairs whose versions
    // compare equal keep the map's order.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const std::map<std::string, std::string>& builds);
    // The three "."-separated parts of version (empty parts included); the empty list
    // when there are not exactly three.
    static std::vector<std::string> SplitKestrixVersion(std::string version);
};

#endif
