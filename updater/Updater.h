// Carries out each command of the updater: discovery, build lists, download, update,
// recovery and fingerprint. Created once per run; owns no long-lived object.
#ifndef KESTRIX_UPDATER_H
#define KESTRIX_UPDATER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

class Updater {
  public:
    // serverUrl and storageDir are copied; display must outlive the updater.
    Updater(const char* serverUrl, const char* storageDir, UpdaterDisplayInterface& display);

    // Whether firmware moves use UEI byte transfers.
    void Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }

    // Modules reachable on type (USB or TCPIP; 0: both), each read for its firmware.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    // Modules on the I2C network behind the router routerSerial (type 0: its transport
    // is found first). Empty when the router cannot be reached.
    std::vector<DeviceInfo> Discover_KXNetwork_Devices(unsigned routerSerial, linkType type);

    // Build number text to version text of the builds the server offers; empty on failure.
    std::map<std::string, std::string> Get_BuildList(unsigned serialNumber);
    // The same for the builds in the local store; empty when there are none.
    std::map<std::string, std::string> Get_BuildListLocal(unsigned serialNumber);
    // The module's feature token; empty on failure.
    std::string Get_JWT(unsigned serialNumber);
    // Downloads build (empty or "0": the latest) into the store as BUILD.bird and records
    // it in the device's settings; the build number stored. 0 on failure, also when the
    // reply is not a loadable BIRD image or cannot be written (nothing stored is changed).
    unsigned Download_Firmware(unsigned serialNumber, std::string build, bool overrideModel,
                               bool noCalibration);
    // The image to transfer: birdFile when not empty, else build from the store
    // (downloaded first when missing and downloadIfMissing). Messages start with verb.
    // An empty BirdFile when the store cannot be opened; throws std::runtime_error when
    // the stored image cannot be read.
    BirdFile load_bird(const char* verb, std::string birdFile, unsigned serialNumber,
                       unsigned build, bool downloadIfMissing);

    // Moves build (0: latest) or birdFile (when not empty) into the running module;
    // true when the whole transfer succeeded.
    bool Update_Firmware(unsigned serialNumber, unsigned build, std::string birdFile,
                         unsigned char moduleAddress, unsigned routerSerial, bool overrideModel);

    // Reads the chip identifier through the boot ROM on serialPort; true on success.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort, unsigned serialNumber,
                         std::string birdFile, unsigned baudRate, bool resetAfter);
    // Rewrites the firmware of a chip through its boot ROM; true on success.
    bool Recover_Firmware(std::string serialPort, unsigned build, unsigned baudRate,
                          unsigned serialNumber, std::string birdFile, bool overrideModel);

  private:
    std::string serverUrl;
    std::string storageDir;  // already ending in "updater"
    UpdaterDisplayInterface& display;
    uint8_t chipType = 0;  // of the last fingerprint: 1 = i.MX, 2 = LPC
    bool ueiBytesLoad = false;
};

#endif
