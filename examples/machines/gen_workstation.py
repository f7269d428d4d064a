#!/usr/bin/env python3
"""Writes workstation.json: a large engineering workstation (400+ devices) for
load tests and benchmarks of the device inventory. Python 3 standard library only.

usage: gen_workstation.py [output] [--devices N]
"""
import json
import random
import sys

CLASSES = [
    ("1394", "6bdd1fc1-810f-11d0-bec7-08002be2092f", "IEEE 1394 host controllers"),
    ("AudioEndpoint", "c166523c-fe0c-4a94-a586-f1a80cfbbf3e", "Audio inputs and outputs"),
    ("Bluetooth", "e0cbf06c-cd8b-4647-bb8a-263b43f0f974", "Bluetooth"),
    ("Camera", "ca3e7ab9-b4c3-4ae6-8251-579ef933890f", "Cameras"),
    ("CDROM", "4d36e965-e325-11ce-bfc1-08002be10318", "DVD/CD-ROM drives"),
    ("DiskDrive", "4d36e967-e325-11ce-bfc1-08002be10318", "Disk drives"),
    ("Display", "4d36e968-e325-11ce-bfc1-08002be10318", "Display adapters"),
    ("HDC", "4d36e96a-e325-11ce-bfc1-08002be10318", "IDE ATA/ATAPI controllers"),
    ("HIDClass", "745a17a0-74d3-11d0-b6fe-00a0c90f57da", "Human Interface Devices"),
    ("Image", "6bdd1fc6-810f-11d0-bec7-08002be2092f", "Imaging devices"),
    ("Keyboard", "4d36e96b-e325-11ce-bfc1-08002be10318", "Keyboards"),
    ("MEDIA", "4d36e96c-e325-11ce-bfc1-08002be10318", "Sound, video and game controllers"),
    ("Monitor", "4d36e96e-e325-11ce-bfc1-08002be10318", "Monitors"),
    ("Mouse", "4d36e96f-e325-11ce-bfc1-08002be10318", "Mice and other pointing devices"),
    ("Net", "4d36e972-e325-11ce-bfc1-08002be10318", "Network adapters"),
    ("Ports", "4d36e978-e325-11ce-bfc1-08002be10318", "Ports (COM & LPT)"),
    ("Printer", "4d36e979-e325-11ce-bfc1-08002be10318", "Printers"),
    ("Processor", "50127dc3-0f36-415e-a6cc-4cb3be910b65", "Processors"),
    ("SCSIAdapter", "4d36e97b-e325-11ce-bfc1-08002be10318", "Storage controllers"),
    ("SmartCardReader", "50dd5230-ba8a-11d1-bf5d-0000f805f530", "Smart card readers"),
    ("SoftwareDevice", "62f9c741-b25a-46ce-b54c-9bccce08b6f2", "Software devices"),
    ("System", "4d36e97d-e325-11ce-bfc1-08002be10318", "System devices"),
    ("USB", "36fc9e60-c465-11cf-8056-444553540000", "Universal Serial Bus controllers"),
    ("Volume", "71a27cdd-812a-11d0-bec7-08002be2092f", "Storage volumes"),
    ("WPD", "eec5ad98-8080-425f-922a-dabf3de3f69a", "Portable Devices"),
]

RUNNING = "0x0180200A"
REMOVABLE = "0x0180600A"
FIXED = "0x0180000A"
HIDDEN = "0x4180200A"


def hexid(rng, n):
    return "".join(rng.choice("0123456789ABCDEF") for _ in range(n))


def build(count, seed=7):
    rng = random.Random(seed)
    devices = []

    def add(**d):
        devices.append(d)

    for cpu in range(32):
        add(id="ACPI\\GENUINEINTEL_-_INTEL64_FAMILY_6_MODEL_143\\_%d" % cpu,
            hw=["ACPI\\GenuineIntel_-_Intel64_Family_6_Model_143", "*GenuineIntel_-_Intel64_Family_6"],
            **{"class": "Processor"}, name="Intel(R) Xeon(R) w5-3435X", status=FIXED)
    for i in range(24):
        add(id="ACPI\\PNP0C02\\%d" % i, hw=["ACPI\\PNP0C02", "*PNP0C02"], **{"class": "System"},
            name="Motherboard resources", status=RUNNING)
    for i in range(4):
        add(id="PCI\\VEN_10DE&DEV_2684&SUBSYS_16F110DE&REV_A1\\4&%s&0&00%02X" % (hexid(rng, 7), i * 8),
            hw=["PCI\\VEN_10DE&DEV_2684&SUBSYS_16F110DE&REV_A1", "PCI\\VEN_10DE&DEV_2684"],
            compat=["PCI\\VEN_10DE&CC_030000", "PCI\\CC_0300"], **{"class": "Display"},
            name="NVIDIA RTX 6000 Ada Generation", status=RUNNING)
        add(id="DISPLAY\\DEL41A%d\\5&%s&0&UID%d" % (i, hexid(rng, 7), 4352 + i), hw=["MONITOR\\DEL41A%d" % i],
            compat=["*PNP09FF"], **{"class": "Monitor"}, name="Dell U2723QE", status=RUNNING)
    for i in range(8):
        add(id="SCSI\\DISK&VEN_NVME&PROD_SAMSUNG_PM9A3\\5&%s&0&00000%d" % (hexid(rng, 7), i),
            hw=["SCSI\\DiskNVMe____SAMSUNG_PM9A3", "SCSI\\DiskNVMe____", "GenDisk"], **{"class": "DiskDrive"},
            name="SAMSUNG MZQL23T8HCLS", status=FIXED, interfaces=["Disk"])
        add(id="STORAGE\\VOLUME\\{%s-0000-0000-0000-%012d}#0000000000100000" % (hexid(rng, 8), i),
            hw=["STORAGE\\Volume"], **{"class": "Volume"}, name="Volume", status=FIXED, interfaces=["Volume"])
    for i in range(4):
        add(id="PCI\\VEN_8086&DEV_125B&SUBSYS_00008086&REV_04\\%s" % hexid(rng, 16),
            hw=["PCI\\VEN_8086&DEV_125B&SUBSYS_00008086&REV_04"], compat=["PCI\\CC_020000"], **{"class": "Net"},
            name="Intel(R) Ethernet Controller I226-V #%d" % (i + 1), status=RUNNING)
    for c in range(6):
        hc = "PCI\\VEN_8086&DEV_7A60&SUBSYS_%04X8086&REV_11\\3&11583659&0&%02X" % (c, 0xA0 + c)
        add(id=hc, hw=["PCI\\VEN_8086&DEV_7A60&REV_11"], compat=["PCI\\CC_0C0330"], **{"class": "USB"},
            name="Intel(R) USB 3.20 eXtensible Host Controller", status=RUNNING, interfaces=["USB host controller"])
        hub = "USB\\ROOT_HUB30\\4&%s&0&%d" % (hexid(rng, 8), c)
        add(id=hub, hw=["USB\\ROOT_HUB30&VID8086&PID7A60", "USB\\ROOT_HUB30"], **{"class": "USB"},
            name="USB Root Hub (USB 3.0)", status=RUNNING, parent=hc, interfaces=["USB hub"])
    # Peripherals: HID devices, hubs, audio and software endpoints fill the rest.
    kinds = [
        ("HIDClass", "HID\\VID_%04X&PID_%04X&COL01", "HID-compliant vendor-defined device", RUNNING, ["HID"]),
        ("Keyboard", "HID\\VID_%04X&PID_%04X&MI_00", "HID Keyboard Device", RUNNING, ["Keyboard", "HID"]),
        ("Mouse", "HID\\VID_%04X&PID_%04X&MI_01", "HID-compliant mouse", RUNNING, ["Mouse", "HID"]),
        ("USB", "USB\\VID_%04X&PID_%04X", "Generic USB Hub", REMOVABLE, ["USB device", "USB hub"]),
        ("AudioEndpoint", "SWD\\MMDEVAPI\\VID_%04X_%04X", "Speakers (USB Audio)", RUNNING, []),
        ("SoftwareDevice", "SWD\\DRIVERENUM\\VID_%04X_%04X", "Software component", HIDDEN, []),
        ("MEDIA", "USB\\VID_%04X&PID_%04X&MI_02", "USB Audio Device", REMOVABLE, []),
    ]
    n = 0
    while len(devices) < count - 12:
        cls, pattern, name, status, ifaces = kinds[n % len(kinds)]
        hw = pattern % (0x0400 + n % 97, 0x1000 + n)
        dev = dict(id="%s\\%d&%s&0&%04d" % (hw, 6 + n % 3, hexid(rng, 8), n), hw=[hw], name=name, status=status)
        dev["class"] = cls
        if ifaces:
            dev["interfaces"] = ifaces
        devices.append(dev)
        n += 1
    # Removable storage a scenario may plug, some of it disabled by a user earlier.
    for i in range(6):
        serial = hexid(rng, 20)
        stick = "USB\\VID_0781&PID_55A%d\\%s" % (i, serial)
        add(id=stick, hw=["USB\\VID_0781&PID_55A%d&REV_0100" % i, "USB\\VID_0781&PID_55A%d" % i],
            compat=["USB\\Class_08&SubClass_06&Prot_50", "USB\\Class_08"], **{"class": "USB"},
            name="USB Mass Storage Device", status="0x01806400" if i % 3 == 2 else REMOVABLE,
            problem=22 if i % 3 == 2 else 0, present=False, interfaces=["USB device"])
        add(id="USBSTOR\\DISK&VEN_SANDISK&PROD_ULTRA_%d&REV_1.00\\%s&0" % (i, serial),
            hw=["USBSTOR\\DiskSanDisk_Ultra_%d" % i, "GenDisk"], **{"class": "DiskDrive"},
            name="SanDisk Ultra USB Device", status=REMOVABLE, present=False, parent=stick, interfaces=["Disk"])
    return devices


def main():
    args = sys.argv[1:]
    count = 420
    if "--devices" in args:
        i = args.index("--devices")
        count = max(120, int(args[i + 1]))
        del args[i:i + 2]
    out = args[0] if args else "workstation.json"
    machine = {
        "description": "An engineering workstation with %d devices (32 processors, 4 GPUs and monitors, 8 NVMe disks, "
                       "6 USB controllers, many HID and audio endpoints, unplugged USB sticks). Generated by "
                       "gen_workstation.py." % count,
        "codePage": 1252,
        "computerName": "WS-ENG-0042",
        "userName": "engineer",
        "registry": [
            {"key": "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper",
             "values": {"UninstallExe": "C:\\Program Files\\Vault\\uninst.exe"}},
            {"key": "HKLM\\SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices"},
        ],
        "classes": [{"name": n, "guid": g, "description": d} for n, g, d in CLASSES],
        "services": ["disk", "partmgr", "volsnap", "USBSTOR", "USBXHCI", "USBHUB3", "HidUsb", "kbdhid", "mouhid"],
        "devices": build(count),
    }
    with open(out, "w", encoding="utf-8") as f:
        json.dump(machine, f, indent=1)
        f.write("\n")
    print("%s: %d devices" % (out, len(machine["devices"])))


if __name__ == "__main__":
    main()
