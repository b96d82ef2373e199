// A faked sysfs and /dev (umockdev) holding HID interfaces at chosen hidrawN
// numbers. The process must run under umockdev's preload (umockdev-wrapper)
// for the library to see them; children see them too when they inherit the
// environment that the testbed sets (UMOCKDEV_DIR) and the preload.
// Devices are only ever added: umockdev 0.17 cannot take a node out and add
// the same number again within one testbed, so a new layout wants a new
// testbed.
#pragma once

#include <cstdint>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace zorsim {

struct Identity {
    uint16_t vendor = 0xFF00;
    uint16_t product = 0xFF00;
    uint16_t version = 0x0001;
};

class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // A USB HID interface at /dev/hidrawN: root hub, USB device (idVendor,
    // idProduct, bcdDevice from `id`), its interface, the hid device (HID_ID)
    // and the hidraw node. Returns the board side of the node (a pty master,
    // owned by the testbed): what the host writes arrives there, and what is
    // written there the host reads.
    int addUsbHid(unsigned n, Identity id = {});

    // A HID device with no USB device above it, as on Bluetooth or I2C.
    int addNonUsbHid(unsigned n, uint16_t vendor, uint16_t product);

    // A node whose hid device has no HID_ID: its identity cannot be read.
    int addUnidentifiedHid(unsigned n);

    // A node listed in sysfs whose /dev entry does not exist, so opening it
    // fails.
    void addUnopenable(unsigned n, Identity id = {});

    // The pty master of /dev/hidrawN, or -1.
    int boardFd(unsigned n) const;

    UMockdevTestbed* handle() const { return testbed_; }

private:
    UMockdevTestbed* testbed_;
};

}  // namespace zorsim
