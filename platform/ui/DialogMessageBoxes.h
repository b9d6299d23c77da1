#pragma once
// Shows message boxes as real dialogs where the platform has a screen.

// Installs the dialog presenter unless the platform is "offscreen" (there, boxes keep
// printing to standard error and returning as if OK was pressed).
void InstallDialogMessageBoxes();
