// The update server's query protocol, independent of HTTP: one query in, one reply out.
// Every reply that answers starts with the line "ok"; a request for an unknown device, a
// missing build or a malformed parameter gets one line starting "refused:" instead.
//
//   op=hi&rv=2                          ok
//   op=qu&sn=S                          ok / latest build / firmware name
//   op=bird&sn=S&fw=F&bld=B&no_cal=V    ok / the BIRD file in Base64
//   op=builds&sn=S                      ok / one "build;version" line per offered build
//   op=fix&fp=W W W W&brief=true        ok / serial number (hexadecimal) / build
//   op=ent_jwt&sn=S&json=false          ok / the device's token (compact JWT, HS256)
#ifndef KESTRIX_UPDATE_SERVER_UPDATESERVICE_H
#define KESTRIX_UPDATE_SERVER_UPDATESERVICE_H

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "FirmwareIndex.h"
#include "ServerConfig.h"

struct Reply {
    int status = 200;
    std::string body;
    // Set by injected faults: wait this long before answering, or close the connection
    // halfway through the body.
    std::chrono::milliseconds delay{0};
    bool drop = false;
    std::string fault;  // the injected fault's kind, empty when none was
};

// The parameters of a raw query ("a=1&b=%20&"), percent escapes decoded. Nothing when a
// parameter has no "=", a key is empty or repeated, or an escape is malformed.
std::optional<std::map<std::string, std::string>> ParseQuery(const std::string& raw);

class UpdateService {
  public:
    UpdateService(ServerConfig config, const std::filesystem::path& root, FirmwareIndex::Warn warn);

    // The reply to one query, the text after "?" of the request. Safe to call from
    // several threads.
    Reply Answer(const std::string& rawQuery);

  private:
    using Params = std::map<std::string, std::string>;

    std::string Dispatch(const Params& params);
    std::string Hello(const Params& params);
    std::string QueryBuild(const Params& params);
    std::string GetBuild(const Params& params);
    std::string BuildList(const Params& params);
    std::string RecoveryInfo(const Params& params);
    std::string DeviceToken(const Params& params);

    // The configured device named by "sn", or a refusal.
    const DeviceConfig& Device(const Params& params, unsigned& serial) const;
    // The images the device is offered, by build number.
    std::map<unsigned, FirmwareImage> Offered(unsigned serial, const DeviceConfig& device);
    const FaultConfig* MatchFault(const Params& params) const;

    const ServerConfig config;
    FirmwareIndex index;
    const FirmwareIndex::Warn warn;
};

#endif
