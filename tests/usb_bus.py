#!/usr/bin/env python3
"""A simulated USB bus for the real pcscd, and what its log says of it.

  usb_bus.py bus BINARY OUT       writes a umockdev description of one CCID
                                  reader per built-in Halvo reader, taken
                                  from BINARY's own check of an empty list,
                                  and of the STOCK readers
  usb_bus.py recognized BINARY LOG [STOCK...]
                                  checks pcscd's debug LOG: every built-in
                                  reader matched by hot-plug ("Adding USB
                                  device: NAME") and found by the CCID driver
                                  ("Found Vendor/Product: VVVV/PPPP (NAME)")
                                  under its built-in name, and nothing else;
                                  with STOCK names, exactly those stock
                                  readers matched and found
  usb_bus.py unrecognized BINARY LOG [STOCK...]
                                  checks that none of the built-in was

It stands alone, without driverlists.py: the package tests copy it by
itself into their overlays, beside sandbox.sh, which runs it there.
"""
import re
import subprocess
import sys
import tempfile

EMPTY_LIST = ("<plist>\n<dict>\n<key>ifdVendorID</key>\n<array>\n</array>\n"
              "<key>ifdProductID</key>\n<array>\n</array>\n"
              "<key>ifdFriendlyName</key>\n<array>\n</array>\n</dict>\n</plist>\n")
MISSING = re.compile(r"Missing Reader: 0x([0-9a-f]{4}) - 0x([0-9a-f]{4}) - (.*)")
BUS = 1
USB_CLASS_CCID = 0x0B
CCID_CLASS_DESCRIPTOR_TYPE = 0x21
# Readers of the CCID driver's own list: one the machine's stock list has,
# and the one the package tests' later CCID version adds.
STOCK = {"stock": (0x08E6, 0x3437, "Gemalto PC Twin Reader"),
         "later": (0x1D5C, 0x0FED, "Later Reader")}


def builtin_readers(binary):
    """(vendor ID, product ID, name) of every built-in reader, in table
    order: what the tool itself reports missing from an empty list."""
    with tempfile.NamedTemporaryFile("w", suffix=".plist") as f:
        f.write(EMPTY_LIST)
        f.flush()
        out = subprocess.run([binary, "-c", f.name], capture_output=True, text=True).stdout
    readers = [(int(m[2], 16), int(m[1], 16), m[3]) for m in MISSING.finditer(out)]
    assert len(readers) == 12, out
    return readers


def descriptors(vendor, product):
    """Device, configuration, CCID interface, CCID class and three endpoint
    descriptors, as the kernel shows them in sysfs."""
    device = bytes([18, 1, 0x10, 0x01, 0, 0, 0, 64]) + vendor.to_bytes(2, "little") + \
        product.to_bytes(2, "little") + bytes([0x00, 0x01, 1, 2, 0, 1])
    ccid = bytes([54, CCID_CLASS_DESCRIPTOR_TYPE, 0x10, 0x01, 0, 0x07]) + \
        (3).to_bytes(4, "little") + (4000).to_bytes(4, "little") + \
        (4000).to_bytes(4, "little") + bytes([0]) + (9600).to_bytes(4, "little") + \
        (9600).to_bytes(4, "little") + bytes([0]) + (254).to_bytes(4, "little") + \
        (0).to_bytes(4, "little") + (0).to_bytes(4, "little") + \
        (0x000404BA).to_bytes(4, "little") + (271).to_bytes(4, "little") + \
        bytes([0xFF, 0xFF, 0, 0, 0, 1])
    endpoints = bytes([7, 5, 0x01, 2, 64, 0, 0, 7, 5, 0x82, 2, 64, 0, 0,
                       7, 5, 0x83, 3, 8, 0, 16])
    interface = bytes([9, 4, 0, 0, 3, USB_CLASS_CCID, 0, 0, 0])
    body = interface + ccid + endpoints
    config = bytes([9, 2]) + (9 + len(body)).to_bytes(2, "little") + \
        bytes([1, 1, 0, 0x80, 50])
    assert len(ccid) == 54
    return device + config + body


def describe(readers):
    """The umockdev description of a bus with one device per reader."""
    out = []
    for i, (vendor, product, name) in enumerate(readers):
        port, devnum = i + 1, i + 2
        path = "/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d" % (BUS, BUS, port)
        node = "bus/usb/%03d/%03d" % (BUS, devnum)
        out += ["P: " + path, "N: " + node,
                "E: DEVNAME=/dev/" + node, "E: DEVTYPE=usb_device", "E: DRIVER=usb",
                "E: PRODUCT=%x/%x/100" % (vendor, product), "E: TYPE=0/0/0",
                "E: BUSNUM=%03d" % BUS, "E: DEVNUM=%03d" % devnum,
                "E: MAJOR=189", "E: MINOR=%d" % (devnum - 1), "E: SUBSYSTEM=usb",
                "E: ID_VENDOR_ID=%04x" % vendor, "E: ID_MODEL_ID=%04x" % product,
                "A: idVendor=%04x" % vendor, "A: idProduct=%04x" % product,
                "A: bcdDevice=0100", "A: busnum=%d" % BUS, "A: devnum=%d" % devnum,
                "A: bDeviceClass=00", "A: bNumConfigurations=1",
                "A: bConfigurationValue=1", "A: speed=12", "A: product=" + name,
                "A: manufacturer=Halvo", "A: serial=HX%04d" % port,
                "H: descriptors=" + descriptors(vendor, product).hex().upper(), ""]
        out += ["P: %s/%d-%d:1.0" % (path, BUS, port), "E: DEVTYPE=usb_interface",
                "E: DRIVER=usbfs", "E: INTERFACE=%d/0/0" % USB_CLASS_CCID,
                "E: PRODUCT=%x/%x/100" % (vendor, product), "E: SUBSYSTEM=usb",
                "A: bInterfaceClass=%02x" % USB_CLASS_CCID, "A: bInterfaceNumber=00",
                "A: bInterfaceSubClass=00", "A: bInterfaceProtocol=00",
                "A: bNumEndpoints=03", "A: bAlternateSetting=00", ""]
    return "\n".join(out) + "\n"


def recognition(log):
    """What pcscd's log says: the names hot plug matched, and the readers
    the CCID driver found as (vendor, product, name)."""
    added = re.findall(r"Adding USB device: (.*)", log)
    found = [(int(v, 16), int(p, 16), n) for v, p, n in
             re.findall(r"Found Vendor/Product: ([0-9A-Fa-f]{4})/([0-9A-Fa-f]{4}) \((.*)\)", log)]
    return added, found


def main():
    command, binary, path = sys.argv[1], sys.argv[2], sys.argv[3]
    readers = builtin_readers(binary)
    if command == "bus":
        with open(path, "w") as f:
            f.write(describe(readers + list(STOCK.values())))
        return
    with open(path, errors="replace") as f:
        added, found = recognition(f.read())
    if len(sys.argv) > 4:
        stock = [STOCK[name] for name in sys.argv[4:] if name in STOCK]
        others = [r for r in found if r not in readers]
        if sorted(others) != sorted(stock) or sorted(set(added) - {n for _, _, n in readers}) \
                != sorted(n for _, _, n in stock):
            print("stock readers expected: %s\nmatched and found: %s %s" % (stock, added, others))
            sys.exit(1)
    added = [n for n in added if n in {name for _, _, name in readers}]
    found = [r for r in found if r in readers]
    if command == "recognized":
        names = [n for _, _, n in readers]
        if sorted(added) != sorted(names) or sorted(found) != sorted(readers):
            print("expected each of %s once\nmatched by pcscd: %s\n"
                  "found by the CCID driver: %s" % (readers, added, found))
            sys.exit(1)
        print("all %d readers recognized by pcscd and the CCID driver" % len(readers))
    else:
        if added or found:
            print("recognized although not listed: %s %s" % (added, found))
            sys.exit(1)
        print("none of the %d readers recognized" % len(readers))


if __name__ == "__main__":
    main()
