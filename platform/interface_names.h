// Device interface classes by the names machine descriptions use: winsim
// reads them, `hwctl capture` writes them. Other classes are written as GUIDs.
#pragma once

struct InterfaceName {
  const char* name;
  const char* guid;  // lower case, without braces
};

inline constexpr InterfaceName kInterfaceNames[] = {
    {"USB device", "a5dcbf10-6530-11d2-901f-00c04fb951ed"},
    {"USB hub", "f18a0e88-c30c-11d0-8815-00a0c906bed8"},
    {"USB host controller", "3abf6f2d-71c4-462a-8a92-1e6861e6af27"},
    {"Disk", "53f56307-b6bf-11d0-94f2-00a0c91efb8b"},
    {"CD-ROM", "53f56308-b6bf-11d0-94f2-00a0c91efb8b"},
    {"Volume", "53f5630d-b6bf-11d0-94f2-00a0c91efb8b"},
    {"HID", "4d1e55b2-f16f-11cf-88cb-001111000030"},
    {"Keyboard", "884b96c3-56ef-11d1-bc8c-00a0c91405dd"},
    {"Mouse", "378de44c-56ef-11d1-bc8c-00a0c91405dd"},
    {"Portable device", "6ac27878-a6fa-4155-ba85-f98f491d4f33"},
    {"COM port", "86e0d1e0-8089-11d0-9ce4-08003e301f73"},
    {"Bluetooth radio", "0850302a-b344-4fda-9be9-90576b8d46f0"},
    {"Video camera", "e5323777-f976-4f5b-9b55-b94699c46e44"},
};
