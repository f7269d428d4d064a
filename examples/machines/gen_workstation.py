#!/usr/bin/env python3
"""Writes workstation.json: a large engineering workstation (400+ devices, a
device tree up to seven levels deep) for load tests and benchmarks of the
device inventory. Python 3 standard library only.

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
DISABLED = "0x01806400"

HUB_COMPAT = ["USB\\USB20_HUB", "USB\\Class_09&SubClass_00&Prot_02", "USB\\Class_09&SubClass_00", "USB\\Class_09"]
COMPOSITE_COMPAT = ["USB\\DevClass_00&SubClass_00&Prot_00", "USB\\COMPOSITE"]


def hexid(rng, n):
    return "".join(rng.choice("0123456789ABCDEF") for _ in range(n))


def build(count, seed=7):
    """The device tree, parents before children. Below each USB root hub sits a
    chain of hubs (controller > root hub > hub > hub > composite device >
    function > HID child: seven levels) with composite peripherals at every
    level; removable sticks (disk, volume, portable device) wait unplugged."""
    rng = random.Random(seed)
    devices = []

    def add(parent=None, delay=0, **d):
        d["class"] = d.pop("cls")
        if parent:
            d["parent"] = parent
        if delay:
            d["startDelay"] = delay
        devices.append(d)
        return d["id"]

    for cpu in range(32):
        add(id="ACPI\\GENUINEINTEL_-_INTEL64_FAMILY_6_MODEL_143\\_%d" % cpu,
            hw=["ACPI\\GenuineIntel_-_Intel64_Family_6_Model_143", "*GenuineIntel_-_Intel64_Family_6"],
            cls="Processor", name="Intel(R) Xeon(R) w5-3435X", status=FIXED)
    for i in range(24):
        add(id="ACPI\\PNP0C02\\%d" % i, hw=["ACPI\\PNP0C02", "*PNP0C02"], cls="System",
            name="Motherboard resources", status=RUNNING)
    for i in range(4):
        gpu = add(id="PCI\\VEN_10DE&DEV_2684&SUBSYS_16F110DE&REV_A1\\4&%s&0&00%02X" % (hexid(rng, 7), i * 8),
                  hw=["PCI\\VEN_10DE&DEV_2684&SUBSYS_16F110DE&REV_A1", "PCI\\VEN_10DE&DEV_2684"],
                  compat=["PCI\\VEN_10DE&CC_030000", "PCI\\CC_0300"], cls="Display",
                  name="NVIDIA RTX 6000 Ada Generation", status=RUNNING)
        add(gpu, id="DISPLAY\\DEL41A%d\\5&%s&0&UID%d" % (i, hexid(rng, 7), 4352 + i), hw=["MONITOR\\DEL41A%d" % i],
            compat=["*PNP09FF"], cls="Monitor", name="Dell U2723QE", status=RUNNING)
    for i in range(8):
        nvme = add(id="PCI\\VEN_144D&DEV_A80A&SUBSYS_A812144D&REV_00\\4&%s&0&00%02X" % (hexid(rng, 7), 0xE0 + i),
                   hw=["PCI\\VEN_144D&DEV_A80A&SUBSYS_A812144D&REV_00", "PCI\\VEN_144D&DEV_A80A"],
                   compat=["PCI\\CC_010802", "PCI\\CC_0108"], cls="SCSIAdapter",
                   name="Standard NVM Express Controller", status=RUNNING)
        disk = add(nvme, id="SCSI\\DISK&VEN_NVME&PROD_SAMSUNG_PM9A3\\5&%s&0&00000%d" % (hexid(rng, 7), i),
                   hw=["SCSI\\DiskNVMe____SAMSUNG_PM9A3", "SCSI\\DiskNVMe____", "GenDisk"], cls="DiskDrive",
                   name="SAMSUNG MZQL23T8HCLS", status=FIXED, interfaces=["Disk"])
        volume = dict(id="STORAGE\\VOLUME\\{%s-0000-0000-0000-%012d}#0000000000100000" % (hexid(rng, 8), i),
                      hw=["STORAGE\\Volume"], cls="Volume", name="Volume", status=FIXED, interfaces=["Volume"])
        if i == 0:
            volume["inUse"] = True  # the system volume
        add(disk, **volume)
    for i in range(4):
        add(id="PCI\\VEN_8086&DEV_125B&SUBSYS_00008086&REV_04\\%s" % hexid(rng, 16),
            hw=["PCI\\VEN_8086&DEV_125B&SUBSYS_00008086&REV_04"], compat=["PCI\\CC_020000"], cls="Net",
            name="Intel(R) Ethernet Controller I226-V #%d" % (i + 1), status=RUNNING)

    # USB: six host controllers, each with a root hub and two tiers of hubs.
    hubs = []  # (instance ID, tier)
    for c in range(6):
        hc = add(id="PCI\\VEN_8086&DEV_7A60&SUBSYS_%04X8086&REV_11\\3&11583659&0&%02X" % (c, 0xA0 + c),
                 hw=["PCI\\VEN_8086&DEV_7A60&REV_11"], compat=["PCI\\CC_0C0330"], cls="USB",
                 name="Intel(R) USB 3.20 eXtensible Host Controller", status=RUNNING,
                 interfaces=["USB host controller"], service="USBXHCI")
        root = add(hc, id="USB\\ROOT_HUB30\\4&%s&0&%d" % (hexid(rng, 8), c),
                   hw=["USB\\ROOT_HUB30&VID8086&PID7A60", "USB\\ROOT_HUB30"], cls="USB",
                   name="USB Root Hub (USB 3.0)", status=RUNNING, interfaces=["USB hub"], service="USBHUB3")
        hubs.append((root, 1))
        outer = add(root, 150, id="USB\\VID_05E3&PID_0610\\5&%s&0&1" % hexid(rng, 8),
                    hw=["USB\\VID_05E3&PID_0610&REV_9226", "USB\\VID_05E3&PID_0610"], compat=HUB_COMPAT, cls="USB",
                    name="Generic USB Hub", status=REMOVABLE, interfaces=["USB device", "USB hub"],
                    service="USBHUB3")
        hubs.append((outer, 2))
        inner = add(outer, 150, id="USB\\VID_2109&PID_2817\\6&%s&0&4" % hexid(rng, 8),
                    hw=["USB\\VID_2109&PID_2817&REV_0473", "USB\\VID_2109&PID_2817"], compat=HUB_COMPAT, cls="USB",
                    name="Generic USB Hub", status=REMOVABLE, interfaces=["USB device", "USB hub"],
                    service="USBHUB3")
        hubs.append((inner, 3))

    def composite(hub, tier, n, vid, pid, functions):
        """A composite device on `hub` with its functions and their children."""
        port = 1 + n % 7
        dev = add(hub, 120, id="USB\\VID_%04X&PID_%04X\\%d&%s&0&%d" % (vid, pid, tier + 4, hexid(rng, 8), port),
                  hw=["USB\\VID_%04X&PID_%04X&REV_0100" % (vid, pid), "USB\\VID_%04X&PID_%04X" % (vid, pid)],
                  compat=COMPOSITE_COMPAT, cls="USB", name="USB Composite Device", status=REMOVABLE,
                  interfaces=["USB device"], service="usbccgp")
        fid = hexid(rng, 8)
        for mi, (cls, name, child) in enumerate(functions):
            fn = add(dev, 40, id="USB\\VID_%04X&PID_%04X&MI_%02d\\%d&%s&0&%04d" % (vid, pid, mi, tier + 5, fid, mi),
                     hw=["USB\\VID_%04X&PID_%04X&MI_%02d" % (vid, pid, mi)], cls=cls, name=name, status=REMOVABLE,
                     service="HidUsb" if cls == "HIDClass" else "usbaudio" if cls == "MEDIA" else "usbvideo")
            if child:
                ccls, cname, ifaces = child
                add(fn, 20, id="HID\\VID_%04X&PID_%04X&MI_%02d\\%d&%s&0&0000" % (vid, pid, mi, tier + 6,
                                                                              hexid(rng, 8)),
                    hw=["HID\\VID_%04X&PID_%04X&MI_%02d" % (vid, pid, mi)], cls=ccls, name=cname, status=RUNNING,
                    interfaces=ifaces)

    receiver = [("HIDClass", "USB Input Device", ("Keyboard", "HID Keyboard Device", ["Keyboard", "HID"])),
                ("HIDClass", "USB Input Device", ("Mouse", "HID-compliant mouse", ["Mouse", "HID"]))]
    headset = [("MEDIA", "USB Audio Device", None),
               ("HIDClass", "USB Input Device", ("HIDClass", "HID-compliant consumer control device", ["HID"]))]
    webcam = [("Image", "USB Video Device", None), ("MEDIA", "USB Audio Device", None)]
    kinds = [(0x046D, 0xC52B, receiver), (0x046D, 0x0A44, headset), (0x046D, 0x085E, webcam)]

    sticks = 6 * 4  # added last: stick, disk, volume, portable device
    n = 0
    while True:
        vid, pid, functions = kinds[n % len(kinds)]
        size = 1 + len(functions) + sum(1 for f in functions if f[2])
        if len(devices) + size > count - sticks:
            break
        hub, tier = hubs[n % len(hubs)]
        composite(hub, tier, n, vid, 0x1000 + n if n >= len(kinds) else pid, functions)
        n += 1
    # Software devices fill the rest.
    while len(devices) < count - sticks:
        k = len(devices)
        add(id="SWD\\MMDEVAPI\\{0.0.0.00000000}.{%s-0000-4000-8000-%012d}" % (hexid(rng, 8), k),
            hw=["MMDEVAPI\\AudioEndpoints"], cls="AudioEndpoint", name="Speakers (USB Audio Device)", status=RUNNING)
    # Removable storage a scenario may plug, some of it disabled by a user earlier.
    for i in range(6):
        serial = hexid(rng, 20)
        hub, tier = hubs[(2 * i + 1) % len(hubs)]
        disabled = i % 3 == 2
        stick = add(hub, 100, id="USB\\VID_0781&PID_55A%d\\%s" % (i, serial),
                    hw=["USB\\VID_0781&PID_55A%d&REV_0100" % i, "USB\\VID_0781&PID_55A%d" % i],
                    compat=["USB\\Class_08&SubClass_06&Prot_50", "USB\\Class_08"], cls="USB",
                    name="USB Mass Storage Device", status=DISABLED if disabled else REMOVABLE,
                    problem=22 if disabled else 0, present=False, interfaces=["USB device"], service="USBSTOR")
        disk = add(stick, 300, id="USBSTOR\\DISK&VEN_SANDISK&PROD_ULTRA_%d&REV_1.00\\%s&0" % (i, serial),
                   hw=["USBSTOR\\DiskSanDisk_Ultra_%d" % i, "GenDisk"], cls="DiskDrive",
                   name="SanDisk Ultra USB Device", status=REMOVABLE, present=False, interfaces=["Disk"])
        path = "_??_USBSTOR#DISK&VEN_SANDISK&PROD_ULTRA_%d&REV_1.00#%s&0#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}" % (
            i, serial)
        add(disk, 200, id="STORAGE\\VOLUME\\" + path, hw=["STORAGE\\Volume"], cls="Volume", name="Volume",
            status=FIXED, present=False, interfaces=["Volume"])
        add(disk, 500, id="SWD\\WPDBUSENUM\\" + path, hw=["SWD\\GENERIC"], cls="WPD", name="%s:\\" % "EFGHIJ"[i],
            status=RUNNING, present=False, interfaces=["Portable device"])
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
        "description": "An engineering workstation with %d devices (32 processors, 4 GPUs and monitors, 8 NVMe "
                       "controllers with their disks and volumes, 6 USB controllers each with a root hub and two "
                       "tiers of hubs carrying receivers, headsets and webcams with their functions and HID "
                       "children, audio endpoints, unplugged USB sticks with disk, volume and portable device). "
                       "Generated by gen_workstation.py." % count,
        "codePage": 1252,
        "computerName": "WS-ENG-0042",
        "userName": "engineer",
        "registry": [
            {"key": "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper",
             "values": {"UninstallExe": "C:\\Program Files\\Vault\\uninst.exe"}},
            {"key": "HKLM\\SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices"},
        ],
        "classes": [{"name": n, "guid": g, "description": d} for n, g, d in CLASSES],
        "services": ["disk", "partmgr", "volsnap", "USBSTOR", "USBXHCI", "USBHUB3", "usbccgp", "HidUsb", "kbdhid",
                     "mouhid", "usbaudio", "usbvideo", "stornvme"],
        "devices": build(count),
    }
    with open(out, "w", encoding="utf-8") as f:
        json.dump(machine, f, indent=1)
        f.write("\n")
    print("%s: %d devices" % (out, len(machine["devices"])))


if __name__ == "__main__":
    main()
