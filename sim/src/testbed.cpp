#include "zorsim/testbed.h"

#include <umockdev.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace zorsim {
namespace {

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

std::string Hex8Upper(unsigned value)
{
    char text[12];
    std::snprintf(text, sizeof text, "%08X", value & 0xFFFFu);
    return text;
}

std::string Upper4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
    return text;
}

// Each node gets its own root hub so that nodes can be taken out one by one.
std::string RootHub(unsigned n)
{
    return "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(n + 1);
}

std::string HidName(const char* bus, uint16_t vendor, uint16_t product, unsigned n)
{
    return std::string(bus) + ":" + Upper4(vendor) + ":" + Upper4(product) + "." + Upper4(n + 1);
}

std::string HidrawBlock(const std::string& hid, unsigned n, bool withNode)
{
    std::string name = "hidraw" + std::to_string(n);
    std::string block = "P: " + hid + "/hidraw/" + name + "\n";
    if (withNode)
        block += "N: " + name + "\n";
    block += "E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + name + "\n" +
             "A: dev=246:" + std::to_string(n) + "\n" +
             "L: device=../../../" + hid.substr(hid.rfind('/') + 1) + "\n\n";
    return block;
}

// Root hub, USB device, interface and hid device; the root hub carries a
// release of its own so that a walk stopping at the wrong level is caught.
std::string UsbHidBlocks(unsigned n, Identity id, bool withHidId, std::string* hid)
{
    std::string bus = std::to_string(n + 1);
    std::string root = RootHub(n);
    std::string device = root + "/" + bus + "-1";
    std::string interface = device + "/" + bus + "-1:1.0";
    *hid = interface + "/" + HidName("0003", id.vendor, id.product, n);
    std::string text =
        "P: " + root + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
        "A: idVendor=1d6b\nA: idProduct=0002\nA: bcdDevice=0601\n\n"
        "P: " + device + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
        "A: idVendor=" + Hex4(id.vendor) + "\nA: idProduct=" + Hex4(id.product) +
        "\nA: bcdDevice=" + Hex4(id.version) + "\n\n"
        "P: " + interface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
        "A: bInterfaceClass=03\n\n"
        "P: " + *hid + "\nE: SUBSYSTEM=hid\n";
    if (withHidId)
        text += "E: HID_ID=0003:" + Hex8Upper(id.vendor) + ":" + Hex8Upper(id.product) + "\n";
    text += "\n";
    return text;
}

}  // namespace

Testbed::Testbed() : testbed_(umockdev_testbed_new())
{
    if (!umockdev_in_mock_environment())
        throw std::runtime_error("run this under umockdev-wrapper: the faked /sys and /dev need its preload");
}

Testbed::~Testbed()
{
    g_object_unref(testbed_);
}

static void Add(UMockdevTestbed* testbed, const std::string& text)
{
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, text.c_str(), &error)) {
        std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("cannot add a device to the testbed: " + message);
    }
}

int Testbed::addUsbHid(unsigned n, Identity id)
{
    std::string hid;
    std::string text = UsbHidBlocks(n, id, true, &hid);
    Add(testbed_, text + HidrawBlock(hid, n, true));
    return boardFd(n);
}

int Testbed::addNonUsbHid(unsigned n, uint16_t vendor, uint16_t product)
{
    std::string adapter = "/devices/platform/i2c_designware." + std::to_string(n) + "/i2c-" +
                          std::to_string(n);
    std::string hid = adapter + "/" + HidName("0018", vendor, product, n);
    Add(testbed_, "P: " + adapter + "\nE: SUBSYSTEM=i2c\n\n" + "P: " + hid +
                      "\nE: SUBSYSTEM=hid\nE: HID_ID=0018:" + Hex8Upper(vendor) + ":" +
                      Hex8Upper(product) + "\n\n" + HidrawBlock(hid, n, true));
    return boardFd(n);
}

int Testbed::addUnidentifiedHid(unsigned n)
{
    std::string hid;
    std::string text = UsbHidBlocks(n, Identity{}, false, &hid);
    Add(testbed_, text + HidrawBlock(hid, n, true));
    return boardFd(n);
}

void Testbed::addUnopenable(unsigned n, Identity id)
{
    std::string hid;
    std::string text = UsbHidBlocks(n, id, true, &hid);
    Add(testbed_, text + HidrawBlock(hid, n, false));
}

int Testbed::boardFd(unsigned n) const
{
    std::string node = "/dev/hidraw" + std::to_string(n);
    return umockdev_testbed_get_dev_fd(testbed_, node.c_str());
}

}  // namespace zorsim
