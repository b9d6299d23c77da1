#pragma once
// The menu's command identifiers, shared by the frame that builds the menu and the view and
// application that handle the commands.

constexpr int ID_FILE_SAVE = 57603;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_APP_EXIT = 57665;
constexpr int ID_VIDEO_SOURCE = 32772;
constexpr int ID_VIDEO_FORMAT = 32773;
constexpr int ID_VIDEO_DISPLAY = 32774;
constexpr int ID_OPTIONS_SERVER = 32775;
constexpr int ID_OPTIONS_IMAGE = 32776;
// Capture drivers are items ID_DRIVER_FIRST + index, up to kMaxDriverItems of them.
constexpr int ID_DRIVER_FIRST = 35000;
constexpr int kMaxDriverItems = 100;
