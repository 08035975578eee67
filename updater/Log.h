// The process-wide debug log. Each line belongs to a package (a bit of the mask below);
// it is written only while its package is active. Mask 0 lines are always written.
#ifndef KESTRIX_LOG_H
#define KESTRIX_LOG_H

#include <atomic>
#include <cstdio>

// The log packages: bits of the mask that selects which log lines are written.
enum LogPackageMask : unsigned {
    kLogUpdater = 0x1,  // Updater operations, the store, option parsing
    kLogHistory = 0x2,
    kLogAttributes = 0x4,  // settings files
    kLogBirdFile = 0x8,
    kLogNetwork = 0x10,
    kLogServerComm = 0x20,    // update server requests, the HTTP client
    kLogNetworkLink = 0x100,  // link discovery, LPC recovery, loader reconnects
    kLogNetworkSR = 0x200,
    kLogNetworkFirm = 0x400,  // the loader protocol
    kLogNXPSerial = 0x1000,
    kLogNXPSerialE = 0x2000,
    kLogNXPSerialSR = 0x4000,
    kLogApp = 0x10000,  // main and the steps it runs
    kLogIMXSerial = 0x10000000,
};

struct LogPackage {
    const char* name;
    unsigned mask;
};

// The packages by the names the usage text lists, in bit order. DEBUG_Network names
// two bits.
inline constexpr LogPackage g_logPackages[] = {
    {"DEBUG_Updater", kLogUpdater},
    {"DEBUG_History", kLogHistory},
    {"DEBUG_Attributes", kLogAttributes},
    {"DEBUG_BirdFile", kLogBirdFile},
    {"DEBUG_Network", kLogNetwork},
    {"DEBUG_ServerComm", kLogServerComm},
    {"DEBUG_Network", kLogNetworkLink},
    {"DEBUG_Network_SR", kLogNetworkSR},
    {"DEBUG_Network_FIRM", kLogNetworkFirm},
    {"DEBUG_NXPSerial", kLogNXPSerial},
    {"DEBUG_NXPSerial_E", kLogNXPSerialE},
    {"DEBUG_NXPSerial_SR", kLogNXPSerialSR},
    {"DEBUG_APP", kLogApp},
    {"DEBUG_iMXSerial", kLogIMXSerial},
};

class Log {
  public:
    // Writes the printf-style text (cut at 2047 characters, no line feed added) to the
    // output stream when mask is 0 or shares a bit with the active packages. Nothing
    // is written before SetOutput.
    static void log(unsigned mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Sets the stream log lines go to; null stops logging.
    static void SetOutput(FILE* stream) { fh = stream; }
    // Adds the packages of mask to the active ones.
    static void ActivatePackage(unsigned mask) { package_bitmask |= mask; }
    // Removes the packages of mask from the active ones.
    static void DeactivatePackage(unsigned mask) { package_bitmask &= ~mask; }

  private:
    // Atomic because worker threads log too; both are set before any worker starts.
    static inline std::atomic<FILE*> fh{nullptr};
    static inline std::atomic<unsigned> package_bitmask{0};
};

#endif
