// Bulk transfers of a fake vendor-driver device, for the end-to-end tests
// that link usb_transfer_fake.cpp. libusb finds, opens and claims the fake
// device for real (umockdev's fake sysfs tree and a handler on its usbfs
// node), but its transfers cannot complete under umockdev: libusb waits in
// poll() for the usbfs node to report finished URBs, and a node with a
// handler never reports anything to poll(). So libusb_submit_transfer,
// libusb_cancel_transfer and libusb_handle_events_completed are answered by
// this program: OUT transfers go to a socket whose other end plays the device
// (quorvia-sim with rawfd=), IN transfers take what comes back from it, and a
// socket closed by the device ends them as a device that is gone.
#pragma once

namespace qvtest {

// The socket the device's bulk endpoints are connected to (-1: none; every
// transfer then fails as with a device that is gone).
void SetFakeBulkPeer(int fd);

}  // namespace qvtest
