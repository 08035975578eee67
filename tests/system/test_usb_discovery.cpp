// USB module discovery against simulated devices: which devices count as modules, the
// spec each one gives, stopping early, and finding one module by its serial number.
#include <vector>

#include "DiscoveryCollector.h"
#include "discover.h"
#include "usb_lab_fixture.h"

namespace {

using Collector = kxtest::DiscoveryCollector;

class UsbDiscovery : public UsbLabTest {};

TEST_F(UsbDiscovery, ReportsModulesWithEightDigitSerialStringsOnly) {
    addDevice(kxModuleConfig("0000ABCD", 0x0113));
    addDevice(kxModuleConfig("1234567", 0x0013));    // 7 characters
    addDevice(kxModuleConfig("123456789", 0x0013));  // 9 characters
    addDevice(kxModuleConfig("12345G78", 0x0013));   // not hexadecimal
    addDevice(kxModuleConfig("22222222", 0x8013));   // not a link device
    kxlab::DeviceConfig other = kxModuleConfig("33333333");
    other.vendorId = KESTRIX_VENDOR_ID + 1;
    addDevice(other);
    addDevice(kxModuleConfig("", 0x0013));  // no serial string at all

    Collector collector;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collector::callback, &collector, 0), 1u);
    ASSERT_EQ(collector.found.size(), 1u);
    const linkSpec& spec = collector.found[0];
    EXPECT_EQ(spec.type, USB);
    EXPECT_EQ(spec.serialNumber, 0xABCDu);
    EXPECT_EQ(spec.usbId, 0xABCDu);
    EXPECT_EQ(spec.model, 0x13u) << "the low byte of the product id";
    EXPECT_EQ(spec.module, 0u);
    EXPECT_EQ(spec.router, 0u);
    EXPECT_EQ(spec.routerSerialNumber, 0u);
}

TEST_F(UsbDiscovery, ACallbackThatStopsSeesOneModule) {
    addDevice(kxModuleConfig("00000001"));
    addDevice(kxModuleConfig("00000002"));
    addDevice(kxModuleConfig("00000003"));
    Collector all;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collector::callback, &all, 0), 3u);
    Collector first;
    first.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, Collector::callback, &first, 0), 1u);
    EXPECT_EQ(first.found.size(), 1u);
}

TEST_F(UsbDiscovery, FindsAModuleBySerialNumberOrNone) {
    addDevice(kxModuleConfig("00000001"));
    addDevice(kxModuleConfig("40F5849A", 0x0014));
    linkSpec* spec = aDiscovery_FindModule(USB, 0x40F5849A, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x40F5849Au);
    EXPECT_EQ(spec->model, 0x14u);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x0BADF00D, 0), nullptr);
    spec = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 1u);
    aLinkSpec_Destroy(&spec);
}

TEST_F(UsbDiscovery, ANewContextSeesAModuleThatReenumerated) {
    RecordingDevice& module = addDevice(kxModuleConfig("40F5849A"));
    linkSpec* before = aDiscovery_FindModule(USB, 0x40F5849A, 0);
    ASSERT_NE(before, nullptr);
    aLinkSpec_Destroy(&before);
    ASSERT_TRUE(module.device.replugAs(kxModuleConfig("DEADDEAD")));
    Kestrix_libusb_exit();
    linkSpec* spec = aDiscovery_FindModule(USB, 0xDEADDEAD, 0);
    ASSERT_NE(spec, nullptr);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x40F5849A, 0), nullptr);
}

}  // namespace
