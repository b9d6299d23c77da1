#pragma once
// What the desktop's notification area delivers. An XEmbed tray passes on clicks and double
// clicks; a D-Bus StatusNotifierItem host (KDE Plasma, GNOME's AppIndicator extension) only
// asks the program to activate, which Qt reports as a single click.

class CTrayHost
{
public:
    // True where Qt will show the icon through a StatusNotifierItem host on the session bus:
    // there no double click ever arrives.
    static bool IsStatusNotifierHost();
};
